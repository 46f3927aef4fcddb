// main.cpp: the entry point. The program reads no argument; the platform's application main
// gets them unchanged.
#include "app/ZQAppDelegate.h"

int main(int argc, char** argv) {
  return platform::NSApplicationMain(argc, argv, platform::makeDelegate<ZQAppDelegate>);
}
