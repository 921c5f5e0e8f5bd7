// Signal handling: a signal thread (signalfd) for the ordinary signals, a handler for the fatal
// ones.
#include "app/signals.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/globals.h"
#include "app/log.h"

namespace {

pthread_t sig_thread;
bool sig_thread_started = false;
int sig_fd = -1;              // signalfd of the waited signals
int stop_pipe[2] = {-1, -1};  // written by StopSignalThread to end the signal thread

// Only the signals the server acts on are taken; every other signal keeps its default action.
sigset_t WaitedSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM, SIGIO, SIGTTIN, SIGTTOU})
    sigaddset(&set, s);
  return set;
}

void* SignalThread(void*) {
  pollfd fds[2] = {{sig_fd, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) break;
    signalfd_siginfo si;
    if ((fds[0].revents & POLLIN) && read(sig_fd, &si, sizeof si) == sizeof si)
      SignalHandler(static_cast<int>(si.ssi_signo));
  }
  return nullptr;
}

void FatalHandler(int sig) {
  SignalHandler(sig);
}

// The signals that are only logged, by their own names: SIGIO shares its number with SIGPOLL,
// the name the signal table gives.
const char* LoggedOnlyName(int sig) {
  switch (sig) {
    case SIGPIPE:
      return "PIPE";
    case SIGALRM:
      return "ALRM";
    case SIGTTIN:
      return "TTIN";
    case SIGTTOU:
      return "TTOU";
    case SIGIO:
      return "IO";
    default:
      return nullptr;
  }
}

void CloseSignalFds() {
  for (int* fd : {&sig_fd, &stop_pipe[0], &stop_pipe[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

}  // namespace

void SignalHandler(int sig) {
  const char* f = "SignalHandler";
  if (sig == SIGILL || sig == SIGABRT || sig == SIGFPE || sig == SIGSEGV) {
    log(f, 0, "Received signal SIG%s", GetSigName(sig));
    PrintStackTrace();
  }
  if (const char* name = LoggedOnlyName(sig)) {
    log(f, 0, "Received signal SIG%s", name);
    return;
  }
  log(f, 0, "Received signal %d (%s)", sig, GetSigName(sig));
  log(f, 0, "Going to Exit state!");
  RequestStop();
}

void PrintStackTrace() {
  const char* f = "PrintStackTrace";
  void* addrs[128];
  int n = backtrace(addrs, 128);
  char** syms = backtrace_symbols(addrs, n);
  for (int i = 1; i < n; ++i) {
    const char* text = syms ? syms[i] : nullptr;
    const char* open = text ? strchr(text, '(') : nullptr;
    const char* plus = open ? strchr(open, '+') : nullptr;
    const char* close = plus ? strchr(plus, ')') : nullptr;
    const char* lbr = close ? strchr(close, '[') : nullptr;
    const char* rbr = lbr ? strchr(lbr, ']') : nullptr;
    if (!rbr) {
      log(f, 0, "[%02i] ?\?(?\?+?\?) [%p]\n", i, addrs[i]);
      continue;
    }
    std::string module(text, static_cast<size_t>(open - text));
    std::string func(open + 1, static_cast<size_t>(plus - open - 1));
    std::string offset(plus + 1, static_cast<size_t>(close - plus - 1));
    std::string address(lbr + 1, static_cast<size_t>(rbr - lbr - 1));
    std::string shown = func.empty() ? "??" : func;
    if (!func.empty()) {
      int status = 0;
      char* dem = abi::__cxa_demangle(func.c_str(), nullptr, nullptr, &status);
      if (status == 0 && dem) shown = dem;
      free(dem);
    }
    log(f, 0, "[%02i] %s(%s+%s) [%s]\n", i, module.c_str(), shown.c_str(), offset.c_str(),
        address.c_str());
  }
  if (n == 128) log(f, 0, "[truncated]\n");
  free(syms);
  log(f, 0, "*** END ***");
  _exit(1);
}

int InstallSignalHandlers() {
  // Loads the unwinder now, so a fatal signal does not have to.
  void* warm[1];
  backtrace(warm, 1);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = FatalHandler;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGABRT, SIGFPE, SIGILL, SIGSEGV}) sigaction(s, &sa, nullptr);
  // Blocked before any other thread exists, so every thread inherits the mask and the signals
  // reach only the signal thread.
  sigset_t set = WaitedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  sig_fd = signalfd(-1, &set, SFD_CLOEXEC);
  if (sig_fd < 0 || pipe2(stop_pipe, O_CLOEXEC) != 0 ||
      pthread_create(&sig_thread, nullptr, SignalThread, nullptr) != 0) {
    CloseSignalFds();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // nobody would take them: default actions
    return 1;
  }
  pthread_setname_np(sig_thread, "signals");
  sig_thread_started = true;
  return 0;
}

void StopSignalThread() {
  if (!sig_thread_started) return;
  char one = 1;
  while (write(stop_pipe[1], &one, 1) < 0 && errno == EINTR) {
  }
  pthread_join(sig_thread, nullptr);
  sig_thread_started = false;
  CloseSignalFds();
}
