// SIGTERM, SIGINT and SIGHUP end the program the orderly way: the handler only records the
// signal; the frame loop, which wakes at least once a frame, sees it and quits through the
// normal shut-down. Process-wide. Threading: install on the main thread before other threads
// start; the handler runs wherever the kernel delivers it and does nothing else.
#pragma once

namespace velto {

void installQuitSignals();
// The signal that asked to quit, 0 while none did. Any thread.
int quitSignal();
// Forgets a recorded signal and a quit request (tests).
void clearQuitSignal();

// The program's own request to quit the orderly way (after a driver change, before the
// relaunch); the frame loop sees it as it sees a signal. Any thread.
void requestQuit();
bool quitRequested();

} // namespace velto
