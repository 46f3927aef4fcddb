// TrayModule.cpp: the module's one entry, sitting-timer-tray.so's only symbol the program asks
// for.
#include "platform/linux/tray/TrayModule.h"

#include "platform/linux/tray/TrayStatusBar.h"
#include "platform/linux/tray/XEmbedStatusBar.h"

extern "C" {
const platform::linux_backend::TrayModuleEntry sitting_timer_tray_module{
    &platform::linux_backend::connectAnyTray, &platform::linux_backend::connectXEmbed};
}
