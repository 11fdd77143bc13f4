#include "core/daemon/router/ReplyLedger.h"

#include "framework/network/ZMQSendAccount.h"

namespace velbor {

class ReplyLedger::Account : public ZMQSendAccount {
 public:
  Account(std::shared_ptr<ReplyLedger> ledger, std::string client)
      : ledger_(std::move(ledger)), client_(std::move(client)) {}
  void handedOver(size_t bytes) noexcept override { ledger_->add(client_, bytes); }
  void released(size_t bytes) noexcept override { ledger_->release(client_, bytes); }

 private:
  const std::shared_ptr<ReplyLedger> ledger_;
  const std::string client_;
};

std::shared_ptr<ReplyLedger> ReplyLedger::create() { return std::shared_ptr<ReplyLedger>(new ReplyLedger()); }

std::shared_ptr<ZMQSendAccount> ReplyLedger::accountFor(const std::string& client) {
  return std::make_shared<Account>(shared_from_this(), client);
}

void ReplyLedger::add(const std::string& client, size_t bytes) noexcept {
  std::lock_guard lock(mutex_);
  try {
    auto [entry, added] = entries_.try_emplace(client);
    if (added || entry->second.bytes == 0) entry->second.lastRelease = Clock::now();
    entry->second.bytes += bytes;
  } catch (...) {
    // Short of memory for the entry: the bytes still count in the total.
  }
  total_ += bytes;
}

void ReplyLedger::release(const std::string& client, size_t bytes) noexcept {
  {
    std::lock_guard lock(mutex_);
    auto entry = entries_.find(client);
    if (entry != entries_.end()) {
      entry->second.bytes -= std::min(entry->second.bytes, bytes);
      entry->second.lastRelease = Clock::now();
      if (entry->second.bytes == 0) entries_.erase(entry);
    }
    total_ -= std::min(total_, bytes);
    releasedSoFar_ += bytes;
  }
  if (watched_) released_.raise();
}

size_t ReplyLedger::heldFor(const std::string& client) const {
  std::lock_guard lock(mutex_);
  auto entry = entries_.find(client);
  return entry == entries_.end() ? 0 : entry->second.bytes;
}

size_t ReplyLedger::total() const {
  std::lock_guard lock(mutex_);
  return total_;
}

uint64_t ReplyLedger::releasedSoFar() const {
  std::lock_guard lock(mutex_);
  return releasedSoFar_;
}

std::vector<ReplyLedger::Held> ReplyLedger::held() const {
  std::lock_guard lock(mutex_);
  std::vector<Held> list;
  list.reserve(entries_.size());
  for (const auto& [client, entry] : entries_) list.push_back({client, entry.bytes, entry.lastRelease});
  return list;
}

}  // namespace velbor
