// StandardError.h: the program's one way to standard error. It never waits for the reader:
// standard error is often a pipe to a session log, and a write that waits for a stalled log
// would stop the loop, the item's answers to its host and the signals that end the program.
// Libraries' messages (GLib's log, g_printerr, libwayland's log) come this way too, through
// LogRule, so that no caller on the session bus can make the program write without end.
#pragma once

#include <string_view>

namespace platform::linux_backend {

// Makes the process's standard error non-blocking and routes the libraries' messages here.
// Once, at start, before anything could write to it.
void installStandardError();

// One message, its line end included. Goes out now as far as the reader takes it; the rest
// waits on the main loop, within a bound beyond which messages are dropped. Any thread.
void writeStandardError(std::string_view message);

// At the end: gives what waits at most `seconds` to go out.
void drainStandardError(double seconds);

}  // namespace platform::linux_backend
