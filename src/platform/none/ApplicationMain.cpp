// ApplicationMain.cpp: the application main of a build without any real status bar.
#include <cstdio>

#include "platform/Application.h"

namespace platform {

int NSApplicationMain(int, char**, DelegateFactory) {
  std::fputs("sitting-timer: no status bar backend is built for this platform\n", stderr);
  return 2;
}

}  // namespace platform
