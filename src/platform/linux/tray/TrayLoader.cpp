// TrayLoader.cpp: the program's side of the tray module: finds it, loads it when the tray is
// tried, and hands its entry to the status bar table.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/linux/tray/TrayModule.h"

#ifndef SITTING_TIMER_TRAY_MODULE_DIR
#error "SITTING_TIMER_TRAY_MODULE_DIR: the module's directory relative to the program's"
#endif

namespace platform::linux_backend {

namespace {

// The whole of `size` bytes at `offset` of the file, or false.
bool readAt(int fd, void* into, std::size_t size, off_t offset) {
  auto* bytes = static_cast<char*>(into);
  while (size > 0) {
    const ssize_t n = pread(fd, bytes, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

struct LoadedModule {
  const TrayModuleEntry* entry = nullptr;
  std::string whyNot;
};

// Loaded at most once, and never unloaded: the bar and its items live until the program ends,
// and GLib keeps the types the module's libraries register.
const LoadedModule& trayModule() {
  static const LoadedModule loaded = [] {
    LoadedModule module;
    char executable[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
    if (length <= 0) {
      module.whyNot = std::string(
                          "tray module: cannot find the program's own path "
                          "(/proc/self/exe: ") +
                      std::strerror(errno) + ")";
      return module;
    }
    executable[length] = '\0';
    const std::string path = trayModulePath(executable, SITTING_TIMER_TRAY_MODULE_DIR);
    // Checked before the loader maps it: a module cut short is mapped past its end and the
    // first touch of the missing pages kills the program with SIGBUS, and a FIFO in its place
    // would hold the loader's open() for ever. O_NONBLOCK makes that open return at once.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      module.whyNot = "tray module " + path + ": " +
                      (errno == ENOENT ? "cannot open shared object file: No such file or directory"
                                       : std::strerror(errno));
      return module;
    }
    if (std::string why = trayModuleFileProblem(fd); !why.empty()) {
      close(fd);
      module.whyNot = "tray module " + path + ": " + why;
      return module;
    }
    close(fd);
    // By its path, not the descriptor's /proc name, so that debuggers and sanitizer reports
    // can find the file again. RTLD_NOW: a reference the program cannot satisfy fails here, as
    // a probe, not later as a crash in the middle of a minute.
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

std::string trayModuleFileProblem(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  const auto size = static_cast<std::uint64_t>(st.st_size);
  // The loader maps what the headers describe: each must lie within the file.
  ElfW(Ehdr) header{};
  if (size < sizeof header || !readAt(fd, &header, sizeof header, 0) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
    return "not a shared object (no ELF header)";
  }
  if (header.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) ||
      header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum == 0) {
    return "not a shared object for this program";
  }
  const auto within = [size](std::uint64_t offset, std::uint64_t length) {
    return offset <= size && length <= size - offset;
  };
  const std::uint64_t tableSize = std::uint64_t{header.e_phnum} * sizeof(ElfW(Phdr));
  if (!within(header.e_phoff, tableSize)) return "cut short (its program headers are missing)";
  if (header.e_shnum != 0 &&
      !within(header.e_shoff, std::uint64_t{header.e_shnum} * header.e_shentsize)) {
    return "cut short (its section headers are missing)";
  }
  for (ElfW(Half) i = 0; i < header.e_phnum; ++i) {
    ElfW(Phdr) segment{};
    if (!readAt(fd, &segment, sizeof segment,
                static_cast<off_t>(header.e_phoff + i * sizeof(ElfW(Phdr))))) {
      return "cannot read its program headers";
    }
    if (segment.p_type == PT_LOAD && !within(segment.p_offset, segment.p_filesz)) {
      return "cut short (" + std::to_string(size) + " bytes, its contents reach further)";
    }
  }
  return "";
}

std::string trayModulePath(const std::string& executable, const std::string& installedRelative) {
  // Plain strings: std::filesystem would page in code of its own for this alone.
  const std::string directory = executable.substr(0, executable.rfind('/') + 1);
  const std::string beside = directory + kTrayModuleFile;
  if (access(beside.c_str(), F_OK) == 0) return beside;
  // "/usr/bin/" with "../lib/sitting-timer" is "/usr/lib/sitting-timer/": the directory is
  // the program's real one, so going up is going up.
  std::string base = directory;
  std::string_view relative = installedRelative;
  while (relative.starts_with("../") && base.size() > 1) {
    base.erase(base.rfind('/', base.size() - 2) + 1);
    relative.remove_prefix(3);
  }
  return base + std::string(relative) + "/" + kTrayModuleFile;
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

std::string probeAnyTrayModule(const LinuxContext& context) {
  // Without a session bus or a display there is no tray to draw on, and no reason to map the
  // module.
  std::string whyNot = probeTray(context);
  if (!whyNot.empty()) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return whyNot + ", and DISPLAY is not set";
  }
  return trayModule().whyNot;
}

std::string probeXEmbedModule(const LinuxContext&) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return "DISPLAY is not set";
  return trayModule().whyNot;
}

std::unique_ptr<StatusBar> connectXEmbedModule(LinuxContext& context, std::string& whyNot) {
  const LoadedModule& module = trayModule();
  if (!module.entry) {
    whyNot = module.whyNot;
    return nullptr;
  }
  return module.entry->connectXEmbed(context, whyNot);
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
