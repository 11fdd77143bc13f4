#include "framework/errors/QoException.h"

namespace velbor {

// The out-of-line destructor anchors the vtable and type info in this library alone.
QoException::~QoException() = default;

}  // namespace velbor
