// Child process control for end-to-end tests.
#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

namespace kt {

Process::~Process() {
  if (pid > 0 && !ended) Stop(*this, std::chrono::milliseconds(2000));
  if (out_fd >= 0) close(out_fd);
  if (err_fd >= 0) close(err_fd);
}

bool Spawn(Process& p, const std::vector<std::string>& argv, const std::string& cwd) {
  int o[2], e[2];  // close-on-exec: the child keeps only the copies on 1 and 2
  if (pipe2(o, O_CLOEXEC) != 0) return false;
  if (pipe2(e, O_CLOEXEC) != 0) {
    close(o[0]);
    close(o[1]);
    return false;
  }
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devnull >= 0) dup2(devnull, 0);
    dup2(o[1], 1);
    dup2(e[1], 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(o[1]);
  close(e[1]);
  fcntl(o[0], F_SETFL, O_NONBLOCK);
  fcntl(e[0], F_SETFL, O_NONBLOCK);
  p.pid = pid;
  p.out_fd = o[0];
  p.err_fd = e[0];
  return true;
}

static void Drain(int fd, std::string& into) {
  if (fd < 0) return;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    into.append(buf, static_cast<size_t>(n));
  }
}

void Pump(Process& p) {
  Drain(p.out_fd, p.out);
  Drain(p.err_fd, p.err);
  if (p.pid > 0 && !p.ended) {
    int st = 0;
    if (waitpid(p.pid, &st, WNOHANG) == p.pid) {
      p.ended = true;
      p.status = st;
      Drain(p.out_fd, p.out);
      Drain(p.err_fd, p.err);
    }
  }
}

bool WaitForCond(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool WaitFor(Process& p, const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  return WaitForCond(
      [&] {
        Pump(p);
        return cond();
      },
      timeout);
}

int WaitExit(Process& p, std::chrono::milliseconds timeout) {
  const auto ended = [&] { return p.ended; };
  if (!WaitFor(p, ended, timeout)) return -1;
  return WIFEXITED(p.status) ? WEXITSTATUS(p.status) : -1;
}

void Signal(Process& p, int sig) {
  if (p.pid > 0 && !p.ended) kill(p.pid, sig);
}

void Stop(Process& p, std::chrono::milliseconds timeout) {
  if (p.pid <= 0 || p.ended) return;
  kill(p.pid, SIGTERM);
  if (WaitExit(p, timeout) == -1 && !p.ended) {
    kill(p.pid, SIGKILL);
    int st = 0;
    waitpid(p.pid, &st, 0);
    p.ended = true;
    p.status = st;
  }
}

}  // namespace kt
