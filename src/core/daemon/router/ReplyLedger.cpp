#include "core/daemon/router/ReplyLedger.h"

#include "framework/network/ZMQSendAccount.h"

namespace velbor {

class ReplyLedger::Account : public ZMQSendAccount {
 public:
  Account(std::shared_ptr<ReplyLedger> ledger, std::string client, std::string host)
      : ledger_(std::move(ledger)), client_(std::move(client)), host_(std::move(host)) {}
  void handedOver(size_t bytes) noexcept override { ledger_->add(client_, host_, bytes); }
  void released(size_t bytes) noexcept override { ledger_->release(client_, host_, bytes); }

 private:
  const std::shared_ptr<ReplyLedger> ledger_;
  const std::string client_;
  const std::string host_;
};

std::shared_ptr<ReplyLedger> ReplyLedger::create() { return std::shared_ptr<ReplyLedger>(new ReplyLedger()); }

std::shared_ptr<ZMQSendAccount> ReplyLedger::accountFor(const std::string& client, const std::string& host) {
  return std::make_shared<Account>(shared_from_this(), client, host);
}

void ReplyLedger::add(const std::string& client, const std::string& host, size_t bytes) noexcept {
  std::lock_guard lock(mutex_);
  try {
    auto [entry, added] = entries_.try_emplace(client);
    if (added || entry->second.bytes == 0) entry->second.lastRelease = Clock::now();
    entry->second.bytes += bytes;
    if (!host.empty()) hosts_[host] += bytes;
  } catch (...) {
    // Short of memory for the entry: the bytes still count in the total.
  }
  total_ += bytes;
}

void ReplyLedger::release(const std::string& client, const std::string& host, size_t bytes) noexcept {
  {
    std::lock_guard lock(mutex_);
    auto entry = entries_.find(client);
    if (entry != entries_.end()) {
      entry->second.bytes -= std::min(entry->second.bytes, bytes);
      entry->second.lastRelease = Clock::now();
      if (entry->second.bytes == 0) entries_.erase(entry);
    }
    auto hostEntry = host.empty() ? hosts_.end() : hosts_.find(host);
    if (hostEntry != hosts_.end()) {
      hostEntry->second -= std::min(hostEntry->second, bytes);
      if (hostEntry->second == 0) hosts_.erase(hostEntry);
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

size_t ReplyLedger::heldForHost(const std::string& host) const {
  std::lock_guard lock(mutex_);
  auto entry = hosts_.find(host);
  return entry == hosts_.end() ? 0 : entry->second;
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
