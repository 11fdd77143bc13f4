#pragma once

#include <string>
#include <string_view>

namespace velbor {

// The text form of every byte buffer: each byte as two lower-case hex digits, no separators.
std::string dataDescription(std::string_view bytes);

// Reads the bytes as a stored vector clock and gives its counters joined by "|".
std::string descriptionForVclock(std::string_view bytes);

}  // namespace velbor
