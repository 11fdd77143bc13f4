#pragma once

#include "framework/errors/QoExceptionProto.h"

namespace velbor {

// The database refused a BEGIN or a COMMIT: it takes no writes at all now (a full or failing
// disk, a lock held elsewhere), not only this one record. Callers that go through many
// records stop at it instead of trying each one.
class DatabaseRefusal : public QoExceptionZeSqlite {
 public:
  using QoExceptionZeSqlite::QoExceptionZeSqlite;
};

}  // namespace velbor
