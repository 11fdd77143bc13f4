#pragma once

#include <string_view>

namespace velbor {

// Writes all of `bytes` to `fd` at its offset, going on after an interrupted or partial write.
// Answers 0, or the error of the write that failed (ENOSPC for one that took nothing), which
// errno holds too.
int writeWhole(int fd, std::string_view bytes);

}  // namespace velbor
