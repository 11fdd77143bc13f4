#pragma once

#include <cstddef>
#include <string_view>

namespace velbor {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

// Length of the well-formed sequence that starts at `pos`, or 0 when none starts there.
size_t utf8SequenceLength(std::string_view text, size_t pos);

// Number of bytes at the end of `text` that begin a well-formed sequence but stop before
// its end (0 to 3): input read in chunks keeps them for the next chunk.
size_t incompleteUtf8Tail(std::string_view text);

}  // namespace velbor
