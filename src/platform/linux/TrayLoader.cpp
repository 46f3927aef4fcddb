// TrayLoader.cpp: the program's side of the tray module: finds it, loads it when the tray is
// tried, and hands its entry to the status bar table.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/linux/TrayModule.h"

#ifndef SITTING_TIMER_TRAY_MODULE_DIR
#error "SITTING_TIMER_TRAY_MODULE_DIR: the module's directory relative to the program's"
#endif

namespace platform::linux_backend {

namespace {

struct LoadedModule {
  const TrayModuleEntry* entry = nullptr;
  std::string whyNot;
};

// Loaded at most once, and never unloaded: the bar and its items live until the program ends,
// and GLib keeps the types the module's libraries register.
const LoadedModule& trayModule() {
  static const LoadedModule loaded = [] {
    LoadedModule module;
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
      module.whyNot =
          "tray module: cannot find the program's own path (/proc/self/exe: " + error.message() +
          ")";
      return module;
    }
    const std::string path = trayModulePath(executable, SITTING_TIMER_TRAY_MODULE_DIR);
    // RTLD_NOW: a reference the program cannot satisfy fails here, as a probe, not later as a
    // crash in the middle of a minute.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      // dlerror names the file too, when it is the module itself that failed.
      std::string why = dlerror();
      if (why.starts_with(path + ": ")) why.erase(0, path.size() + 2);
      module.whyNot = "tray module " + path + ": " + why;
      return module;
    }
    module.entry = static_cast<const TrayModuleEntry*>(dlsym(handle, "sitting_timer_tray_module"));
    if (!module.entry) {
      const char* why = dlerror();
      module.whyNot = "tray module " + path + ": " + (why ? why : "no sitting_timer_tray_module");
    }
    return module;
  }();
  return loaded;
}

}  // namespace

std::string trayModulePath(const std::string& executable, const std::string& installedRelative) {
  const std::filesystem::path directory = std::filesystem::path(executable).parent_path();
  const std::filesystem::path beside = directory / kTrayModuleFile;
  if (access(beside.c_str(), F_OK) == 0) return beside;
  return (directory / installedRelative / kTrayModuleFile).lexically_normal();
}

std::string probeTray(const LinuxContext&) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return "";
  // GLib falls back to the per-user bus socket that systemd and dbus-broker provide.
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    struct stat st {};
    if (stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
      return "";
    }
  }
  return "no session bus (DBUS_SESSION_BUS_ADDRESS is not set)";
}

std::string probeTrayModule(const LinuxContext& context) {
  // Without a session bus there is no tray to draw on, and no reason to map the module.
  if (std::string whyNot = probeTray(context); !whyNot.empty()) return whyNot;
  return trayModule().whyNot;
}

std::unique_ptr<StatusBar> connectTrayModule(LinuxContext& context, std::string& whyNot) {
  const LoadedModule& module = trayModule();
  if (!module.entry) {
    whyNot = module.whyNot;
    return nullptr;
  }
  return module.entry->connect(context, whyNot);
}

}  // namespace platform::linux_backend
