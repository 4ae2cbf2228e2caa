#pragma once
// The activity log's one rule: append a time-stamped line to a box's text, dropping the oldest
// line (and any blank ones) once the box holds more than `MaxLines` lines.
#include <cstdint>
#include <string>

namespace tovi {

// `boxText` is the box's whole text, lines ending in CR LF; the result is its new text.
std::string AddLine(const std::string& boxText, const std::string& Message, int16_t MaxLines,
                    const std::string& timeOfDay);

}  // namespace tovi
