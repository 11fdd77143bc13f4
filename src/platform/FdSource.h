#pragma once

#include <memory>
#include <optional>

#include <asio.hpp>

#include "platform/DispatchSourceBase.h"

namespace velbor {

// Read or write readiness of a descriptor, level-triggered: while the source is resumed
// the handler fires again after each run as long as the descriptor stays ready.
// The reactor watches a duplicate of the descriptor, so the owner's descriptor number is
// never registered, changed or closed here; the duplicate is closed by cancel().
class FdSource : public DispatchSourceBase {
 public:
  enum class Kind { read, write };

  static std::shared_ptr<FdSource> create(int fd, Kind kind, std::shared_ptr<DispatchQueue> queue);

  FdSource(int fd, Kind kind, std::shared_ptr<DispatchQueue> queue);  // use create()
  ~FdSource() override;
  FdSource(const FdSource&) = delete;
  FdSource& operator=(const FdSource&) = delete;

 protected:
  void rearmLocked() override;
  void disarmLocked() override;
  bool keepsEventsWhileSuspended() const override { return false; }

 private:
  void onReady(const asio::error_code& error);
  void closeLocked();

  int fd_;
  Kind kind_;
  std::optional<asio::posix::stream_descriptor> descriptor_;
  bool originallyBlocking_ = false;
  bool restoredBlocking_ = false;
  bool waiting_ = false;
  bool broken_ = false;
};

}  // namespace velbor
