// Text helpers for assertions on log lines and version texts.
#pragma once
#include <string>

namespace kt {

// True when `what` occurs in `text`; how often it occurs (overlapping occurrences count).
bool Has(const std::string& text, const std::string& what);
size_t Count(const std::string& text, const std::string& what);

// Replaces every build stamp "Mmm dd yyyy hh:mm:ss" (as __DATE__ " " __TIME__ print it) with
// "<stamp>", so texts that carry one can be compared byte for byte.
std::string MaskBuildStamps(const std::string& text);

// Replaces every log timestamp "yyyy-mm-dd hh:mm:ss.uuuuuu" with "<time>".
std::string MaskLogTimes(const std::string& text);

}  // namespace kt
