// The application shell: launch (single instance, audio layer with its default devices, the
// engine, the command interpreter and its configuration, the platform services behind the
// hooks, the main window with its fonts and style), the frame loop with the window snapshot
// mode, and the shut-down in a fixed order.
// Owns the one engine and the one API object of the process. Threading: main thread.
#pragma once

namespace velto {

// The whole run; returns the process's exit status. main thread
int runApp();

} // namespace velto
