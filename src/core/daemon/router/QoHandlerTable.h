#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/daemon/router/QoRequest.h"

namespace velbor {

// The request handlers by message name ("ScanRequest" -> QoWorker::handleScanRequest). The
// table is built once, on first use, and then only read; a name without an entry has no
// handler, which the dispatch answers as "bad format".
class QoHandlerTable {
 public:
  QoHandlerTable() = delete;

  // The handler of `name`; nullptr when there is none.
  static QoHandler handlerForName(std::string_view name);
  // Whether a request of `name` is taken from another device; the others are served only to
  // this device's own client.
  static bool isServedToNetwork(std::string_view name);

  // Tests only: while the object lives, `name` is served by `handler` (nullptr: by nothing).
  // Overrides do not nest for one name.
  class ScopedOverride {
   public:
    ScopedOverride(std::string name, QoHandler handler);
    ~ScopedOverride();
    ScopedOverride(const ScopedOverride&) = delete;
    ScopedOverride& operator=(const ScopedOverride&) = delete;

   private:
    std::string name_;
  };
};

}  // namespace velbor
