#pragma once

#include <cstdint>

namespace velbor {

// Every download in flight holds its file and its folder open, beside ZeroMQ's sockets and
// the database: with several pulls of small files at once the usual soft limit of 1,024
// descriptors comes within reach, and ZeroMQ ends the process when it cannot make one. The
// daemon raises the soft limit to the hard one at start. Returns the soft limit in force
// afterwards (0 when it cannot be read).
uint64_t raiseOpenFileLimit();

}  // namespace velbor
