// Helpers for the INI store tests: capture what a dump writes to a stream.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>

// Runs fn(FILE*) on an in-memory stream and returns what it wrote.
template <typename Fn>
std::string CaptureStream(Fn fn) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  if (!out) return "<no stream>";
  fn(out);
  fclose(out);
  std::string text(buf, len);
  free(buf);
  return text;
}
