// Child processes for end-to-end tests: start a program with its standard streams captured,
// wait on conditions with bounded time-outs, stop it.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kt {

struct Process {
  pid_t pid = -1;
  int out_fd = -1;  // child's standard output (read end, non-blocking)
  int err_fd = -1;  // child's standard error (read end, non-blocking)
  std::string out;  // everything read so far from standard output
  std::string err;  // everything read so far from standard error
  int status = -1;  // wait status once the child has ended
  bool ended = false;

  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();
};

// Starts argv[0] with the given arguments in folder `cwd` (empty: current). stdin is /dev/null.
bool Spawn(Process& p, const std::vector<std::string>& argv, const std::string& cwd = "");

// Reads whatever the child has written so far into p.out and p.err; notes its end.
void Pump(Process& p);

// Polls `cond` (after pumping) until it holds or `timeout` passes; returns whether it held.
bool WaitFor(Process& p, const std::function<bool()>& cond,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
bool WaitForCond(const std::function<bool()>& cond,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// Waits for the child to end; returns its exit code, or -1 (killed by a signal or time-out).
int WaitExit(Process& p, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// Sends a signal (no-op once ended).
void Signal(Process& p, int sig);

// SIGTERM, then SIGKILL if it has not ended within the time-out; reaps it.
void Stop(Process& p, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

}  // namespace kt
