// Text helpers for assertions on log lines and version texts.
#pragma once
#include <string>

namespace kt {

// True when `what` occurs in `text`; how often it occurs (overlapping occurrences count).
bool Has(const std::string& text, const std::string& what);
size_t Count(const std::string& text, const std::string& what);

// The bytes as lower-case hex digits, two per byte (as the simulator's control commands take them).
std::string Hex(const std::string& bytes);

// Replaces every build stamp "Mmm dd yyyy hh:mm:ss" (as __DATE__ " " __TIME__ print it) with
// "<stamp>", so texts that carry one can be compared byte for byte.
std::string MaskBuildStamps(const std::string& text);

// Replaces every log timestamp "yyyy-mm-dd hh:mm:ss.uuuuuu" with "<time>".
std::string MaskLogTimes(const std::string& text);

// Replaces every run of characters that fits `shape` with `with`. In a shape '9' stands for a
// digit, 'A' for an upper and 'a' for a lower case letter, '_' for a digit or blank.
std::string MaskShape(const std::string& text, const std::string& shape, const char* with);

}  // namespace kt
