// Child processes of the shell: always started from an argument list (posix_spawn), never
// through a shell command built from text, so a path reaches the child byte for byte as one
// argument. Every child starts with the default signal mask and dispositions; descriptors we
// open are close-on-exec, so a child inherits only its standard streams.
// Threading: main thread.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace velto {

// The absolute path of `name` found through PATH ("" when it is nowhere there). A name with a
// "/" is taken as it stands when it is executable.
std::string findProgram(const std::string& name);

// Starts `program` (an absolute path) with `args` (args[0] is the child's own name). Its
// standard output goes to `outputFd` and its error output to `errorFd` when those are 0 or
// above. The pid, or -1 when it did not start.
pid_t spawnProcess(const std::string& program, const std::vector<std::string>& args,
                   int outputFd = -1, int errorFd = -1);

// Runs the program to its end: its exit status (128 + signal when a signal ended it), or -1
// when it did not start. With `output` set, its standard output is collected there.
int runProcess(const std::string& program, const std::vector<std::string>& args,
               std::string* output = nullptr);

// Starts a program that runs on by itself (its own session, not waited for); finished ones are
// reaped on later calls. False when it did not start.
bool spawnDetached(const std::string& program, const std::vector<std::string>& args);

// A child started elsewhere that nobody waits for: reaped on later calls like the above.
void reapLater(pid_t pid);

// Ends a child started with spawnProcess: SIGTERM, then waits for it. Nothing for pid <= 0.
void stopProcess(pid_t pid);

} // namespace velto
