// The process log, signal names, time helpers and debugging dumps.
#include "app/log.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/globals.h"

void log(const char* func, int level, const char* fmt, ...) {
  if (level > verbose.load(std::memory_order_relaxed)) return;

  static thread_local char msg[32768];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);

  timeval tv;
  gettimeofday(&tv, nullptr);
  tm local;
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  char stamp[64];
  char when[80];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  snprintf(when, sizeof when, "%s.%06lu", stamp, static_cast<unsigned long>(tv.tv_usec));

  size_t len = strlen(msg);
  if (len > 0 && msg[len - 1] == '\n') msg[len - 1] = '\0';

  // One formatted write per line keeps lines of different threads whole.
  FILE* out = (logon && logout) ? logout : stderr;
  fprintf(out, "%s Korvane->%s():: %s\n", when, func, msg);
  fflush(out);
}

int OpenLogFile(const char* path) {
  FILE* f = fopen(path, "a");
  if (!f) return 1;
  logout = f;
  logon = 1;
  return 0;
}

void CloseLogFile() {
  FILE* f = logout;
  logon = 0;
  logout = nullptr;
  if (f) fclose(f);
}

static const char* const sig_names[32] = {
    "EXIT", "HUP",  "INT",  "QUIT", "ILL",    "TRAP",   "ABRT",  "BUS",  "FPE",  "KILL", "USR1",
    "SEGV", "USR2", "PIPE", "ALRM", "TERM",   "STKFLT", "CHLD",  "CONT", "STOP", "TSTP", "TTIN",
    "TTOU", "URG",  "XCPU", "XFSZ", "VTALRM", "PROF",   "WINCH", "POLL", "PWR",  "SYS"};

const char* GetSigName(int sig) {
  if (sig < 0 || sig > 31) return "";
  return sig_names[sig];
}

void TimevalAdd(timeval* tv, int ms) {
  tv->tv_usec += static_cast<long>(ms) * 1000;
  if (tv->tv_usec > 999999) {
    tv->tv_sec += tv->tv_usec / 1000000;
    tv->tv_usec %= 1000000;
  }
}

static timeval tv_old{0, 0};

void getdifftime(timeval* out) {
  timeval now;
  gettimeofday(&now, nullptr);
  if (tv_old.tv_sec == 0 && tv_old.tv_usec == 0) {
    out->tv_sec = 0;
    out->tv_usec = 0;
  } else {
    timersub(&now, &tv_old, out);
  }
  tv_old = now;
}

// Prints rows of 16 bytes: optional prefix, address, hex groups of four, then the characters.
static void DumpRows(const unsigned char* data, size_t len, bool with_time) {
  for (size_t row = 0; row < len; row += 16) {
    if (with_time) {
      timeval tv;
      gettimeofday(&tv, nullptr);
      tm local;
      time_t secs = tv.tv_sec;
      localtime_r(&secs, &local);
      char hms[16];
      strftime(hms, sizeof hms, "%H:%M:%S", &local);
      printf("%s.%06lu ", hms, static_cast<unsigned long>(tv.tv_usec));
    }
    printf("%p  ", static_cast<const void*>(data + row));
    for (size_t i = 0; i < 16; ++i) {
      if (row + i < len)
        printf(" %02X", data[row + i]);
      else
        printf("   ");
      if (i % 4 == 3) printf(" ");
    }
    printf(" | ");
    for (size_t i = 0; i < 16 && row + i < len; ++i) {
      unsigned char c = data[row + i];
      putchar(isprint(c) ? c : '.');
    }
    putchar('\n');
  }
  fflush(stdout);
}

void HexDump(char* data, int len) {
  if (len > 0) DumpRows(reinterpret_cast<unsigned char*>(data), static_cast<size_t>(len), false);
}

void HexDump(unsigned char* data, size_t len) {
  DumpRows(data, len, true);
}

extern "C" void Error(const char* func, const char* msg) {
  (void)func;
  (void)msg;
}
