#include "core/utils/QoException.h"

// The exception family is header-only; this unit keeps the library's vtables in one place.
namespace velbor {}
