// The process log: one line per message, with timestamp and the writer's function name.
#pragma once
#include <sys/time.h>

#include <cstddef>

// Writes "<local time>.<us> Korvane-><func>():: <message>" when level <= verbose.
void log(const char* func, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// Opens the log file for appending and sends the log there; 1 (errno set) when it cannot be opened.
int OpenLogFile(const char* path);
// Sends the log back to standard error and closes the file (no-op when none is open).
void CloseLogFile();

// Short name of a signal number 0..31 ("TERM"), empty text otherwise.
const char* GetSigName(int sig);

// Adds ms milliseconds to tv in place.
void TimevalAdd(timeval* tv, int ms);

// Time elapsed since the previous call (zero on the first); not thread-safe, debugging only.
void getdifftime(timeval* out);

// Debugging dumps of a byte range to standard output, 16 bytes per row.
void HexDump(char* data, int len);
void HexDump(unsigned char* data, size_t len);

// The link library's error hook; deliberately does nothing (callers log through the error code).
extern "C" void Error(const char* func, const char* msg);
