// wayland_fake_input.cpp: moves the pointer once through KWin's org_kde_kwin_fake_input, which
// counts as user activity for its idle timers. KWin has no virtual keyboard protocol, so wtype
// cannot do this there. Needs KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 in KWin's environment.
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fake-input-client-protocol.h"

namespace {

struct Globals {
  org_kde_kwin_fake_input* fakeInput = nullptr;
};

const wl_registry_listener registryListener = {
    [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
       std::uint32_t) {
      auto& globals = *static_cast<Globals*>(data);
      if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0) {
        globals.fakeInput = static_cast<org_kde_kwin_fake_input*>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 1));
      }
    },
    [](void*, wl_registry*, std::uint32_t) {},
};

}  // namespace

int main() {
  wl_display* display = wl_display_connect(nullptr);
  if (!display) {
    std::perror("wayland_fake_input: cannot connect");
    return 1;
  }
  Globals globals;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registryListener, &globals);
  wl_display_roundtrip(display);
  if (!globals.fakeInput) {
    std::fprintf(stderr, "wayland_fake_input: the compositor offers no %s\n",
                 org_kde_kwin_fake_input_interface.name);
    return 1;
  }
  org_kde_kwin_fake_input_authenticate(globals.fakeInput, "sitting-timer tests", "idle input");
  org_kde_kwin_fake_input_pointer_motion(globals.fakeInput, wl_fixed_from_int(1),
                                         wl_fixed_from_int(1));
  // Once the compositor has answered, it has handled the motion too.
  const bool handled = wl_display_roundtrip(display) >= 0;
  org_kde_kwin_fake_input_destroy(globals.fakeInput);
  wl_registry_destroy(registry);
  wl_display_disconnect(display);
  return handled ? 0 : 1;
}
