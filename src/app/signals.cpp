// Signal handling: a sigwait thread for the ordinary signals, a handler for the fatal ones.
#include "app/signals.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/globals.h"
#include "app/log.h"

namespace {

pthread_t sig_thread;
bool sig_thread_started = false;

// SIGUSR2 is used only to end the signal thread.
sigset_t WaitedSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s :
       {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM, SIGIO, SIGTTIN, SIGTTOU, SIGUSR2})
    sigaddset(&set, s);
  return set;
}

void* SignalThread(void*) {
  sigset_t set = WaitedSignals();
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (sig == SIGUSR2) break;
    SignalHandler(sig);
  }
  return nullptr;
}

void FatalHandler(int sig) {
  SignalHandler(sig);
}

}  // namespace

void SignalHandler(int sig) {
  const char* f = "SignalHandler";
  switch (sig) {
    case SIGILL:
    case SIGABRT:
    case SIGFPE:
    case SIGSEGV:
      log(f, 0, "Received signal SIG%s", GetSigName(sig));
      PrintStackTrace();
    case SIGPIPE:
    case SIGALRM:
    case SIGTTIN:
    case SIGTTOU:
    case SIGIO:
      log(f, 0, "Received signal SIG%s", GetSigName(sig));
      return;
    default:
      log(f, 0, "Received signal %d (%s)", sig, GetSigName(sig));
      log(f, 0, "Going to Exit state!");
      commobj_state = 3;
      return;
  }
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
  sigset_t set = WaitedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = FatalHandler;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGABRT, SIGFPE, SIGILL, SIGSEGV}) sigaction(s, &sa, nullptr);
  if (pthread_create(&sig_thread, nullptr, SignalThread, nullptr) != 0) return 1;
  pthread_setname_np(sig_thread, "signals");
  sig_thread_started = true;
  return 0;
}

void StopSignalThread() {
  if (!sig_thread_started) return;
  pthread_kill(sig_thread, SIGUSR2);
  pthread_join(sig_thread, nullptr);
  sig_thread_started = false;
}
