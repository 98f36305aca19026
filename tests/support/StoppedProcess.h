#pragma once
// Freezes a server process as a host that hangs. kill(SIGSTOP) returns before the process has
// stopped: one of its threads takes the signal and passes the stop on to the others, and until they
// have it another thread may still read a statement and answer it.

#include <sys/types.h>

#include <chrono>

namespace veltrane::test {

// Sends SIGSTOP and returns once every thread of pid is stopped; throws when that takes longer than
// timeout.
void StopEveryThread(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace veltrane::test
