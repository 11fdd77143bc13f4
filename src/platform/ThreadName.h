#pragma once

#include <string>
#include <string_view>

namespace velbor {

// The name the system shows for a thread (in top -H, in /proc/self/task/*/comm, in a
// debugger): at most 15 bytes, longer names are cut.
void nameThisThread(std::string_view name);
std::string thisThreadName();

}  // namespace velbor
