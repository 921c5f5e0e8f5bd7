// Text helpers for assertions on log lines and version texts.
#pragma once
#include <string>

namespace kt {

// True when `what` occurs in `text`; how often it occurs (overlapping occurrences count).
bool Has(const std::string& text, const std::string& what);
size_t Count(const std::string& text, const std::string& what);

// The bytes as lower-case hex digits, two per byte (as the simulator's control commands take them).
std::string Hex(const std::string& bytes);

// Replaces every run of characters that fits `shape` with `with`. In a shape '9' stands for a
// digit, 'A' for an upper and 'a' for a lower case letter, '_' for a digit or blank.
std::string MaskShape(const std::string& text, const std::string& shape, const char* with);

// Shapes of a build stamp (as __DATE__ " " __TIME__ print it) and of a log line's time.
constexpr const char* kBuildStamp = "Aaa _9 9999 99:99:99";
constexpr const char* kLogTime = "9999-99-99 99:99:99.999999";

}  // namespace kt
