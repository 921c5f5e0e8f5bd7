// Loopback TCP/UDP helpers for tests. Every address is 127.0.0.1.
#pragma once
#include <chrono>
#include <string>

namespace kt {

// A TCP port that was free a moment ago (bound to 0 on 127.0.0.1 and read back).
int FreeTcpPort();

// Connects to 127.0.0.1:port, retrying until the time-out; -1 on failure.
int TcpConnect(int port, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

bool SendAll(int fd, const std::string& data);

// Reads one line (up to and including LF) within the time-out; false on time-out or close.
// Bytes after the line stay in `pending` for the next call.
bool RecvLine(int fd, std::string& pending, std::string& line,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// Reads until `n` bytes are in `out` (appending) or the time-out passes.
bool RecvN(int fd, std::string& out, size_t n,
           std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// True when the peer closed the connection within the time-out (reading and dropping data).
bool WaitClosed(int fd, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// Whatever arrives within the window (used to check that nothing is sent).
std::string RecvFor(int fd, std::chrono::milliseconds window);

}  // namespace kt
