#include "core/utils/Vclock.h"

#include <algorithm>
#include <limits>
#include <unordered_map>
#include <utility>

#include "platform/Utf8.h"

namespace velbor {

namespace {

// Rows: state so far; columns: this slot less, equal, greater.
constexpr int xtabVectorClock[4][3] = {
    {0, 0, 3},
    {0, 1, 2},
    {3, 2, 2},
    {3, 3, 3},
};

}  // namespace

Vclock::Vclock(const std::optional<std::string>& vcData) {
  std::vector<std::string> texts = decode(vcData);
  clockVector_.reserve(texts.size());
  decodedTexts_.reserve(texts.size());
  for (auto& text : texts) {
    clockVector_.push_back(valueOfText(text));
    decodedTexts_.emplace_back(std::move(text));
  }
}

Vclock::Vclock(std::vector<uint64_t> array) : clockVector_(std::move(array)) {}

Vclock::Vclock(const std::vector<uint64_t>& array, const std::vector<std::string>& currentUuidList,
               const std::vector<std::string>& expectedUuidList) {
  auto valueAt = [&array](std::size_t k) { return k < array.size() ? array[k] : 0; };
  // The first position of each sender uuid: one lookup per slot, not a walk of the list.
  std::unordered_map<std::string, std::size_t> positions;
  positions.reserve(currentUuidList.size());
  for (std::size_t k = 0; k < currentUuidList.size(); ++k) positions.emplace(currentUuidList[k], k);
  std::vector<bool> taken(currentUuidList.size(), false);
  clockVector_.reserve(expectedUuidList.size() + currentUuidList.size());
  for (const auto& uuid : expectedUuidList) {
    uint64_t value = 0;
    if (const auto found = positions.find(uuid); found != positions.end()) {
      value = valueAt(found->second);
      taken[found->second] = true;
    }
    clockVector_.push_back(value);
  }
  for (std::size_t k = 0; k < currentUuidList.size(); ++k) {
    if (!taken[k]) clockVector_.push_back(valueAt(k));
  }
}

uint64_t Vclock::getClockValueAtIndex(uint64_t index) const {
  return index < clockVector_.size() ? clockVector_[index] : 0;
}

void Vclock::incClockValueAtIndex(uint64_t index) {
  const uint64_t value = getClockValueAtIndex(index);
  // Past the limit no find reply could carry the record.
  store(value < kWireCounterLimit ? value + 1 : value, index);
}

void Vclock::setClockValue(uint64_t value, uint64_t index) { store(value, index); }

void Vclock::growTo(uint64_t index) {
  if (index >= clockVector_.size()) clockVector_.resize(index + 1, 0);
}

void Vclock::store(uint64_t value, uint64_t index) {
  growTo(index);
  clockVector_[index] = value;
  // The slot's decoded text no longer stands for it.
  if (index < decodedTexts_.size()) decodedTexts_[index].reset();
}

std::string Vclock::encode() const {
  std::string out;
  for (std::size_t i = 0; i < clockVector_.size(); ++i) {
    if (i > 0) out.push_back('|');
    if (i < decodedTexts_.size() && decodedTexts_[i]) {
      out += *decodedTexts_[i];
    } else {
      out += std::to_string(clockVector_[i]);
    }
  }
  return out;
}

std::vector<std::string> Vclock::decode(const std::optional<std::string>& data) {
  std::vector<std::string> texts;
  if (!data || !isValidUtf8(*data)) return texts;
  std::size_t start = 0;
  while (true) {
    std::size_t bar = data->find('|', start);
    if (bar == std::string::npos) {
      texts.push_back(data->substr(start));
      break;
    }
    texts.push_back(data->substr(start, bar - start));
    start = bar + 1;
  }
  return texts;
}

uint64_t Vclock::valueOfText(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  // A counter is never negative: a signed text reads as 0 rather than wrapping.
  uint64_t value = 0;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    auto digit = static_cast<uint64_t>(text[i] - '0');
    if (value > (kMax - digit) / 10) return kMax;
    value = value * 10 + digit;
  }
  return value;
}

VclockCompareResult Vclock::compareToVclock(const Vclock& other) const {
  const std::size_t n = clockVector_.size();
  const std::size_t m = other.clockVector_.size();
  int state = VclockCompareEqual;
  std::size_t i = 0;
  for (; i < n && i < m; ++i) {
    uint64_t a = clockVector_[i];
    uint64_t b = other.clockVector_[i];
    int column = a < b ? 0 : (a == b ? 1 : 2);
    state = xtabVectorClock[state][column];
    if (state == VclockCompareConcurrent) return state;
  }
  for (std::size_t k = i; k < n; ++k) {
    if (clockVector_[k] != 0) return xtabVectorClock[state][2];
  }
  for (std::size_t k = i; k < m; ++k) {
    if (other.clockVector_[k] != 0) return xtabVectorClock[state][0];
  }
  return state;
}

VclockCompareResult Vclock::compareToPeerVclock(const Vclock& peer, uint64_t ownSlot, uint64_t peerSlot) const {
  if (peer.getClockValueAtIndex(ownSlot) > getClockValueAtIndex(ownSlot) ||
      peer.getClockValueAtIndex(peerSlot) < getClockValueAtIndex(peerSlot)) {
    return VclockCompareConcurrent;
  }
  return compareToVclock(peer);
}

void Vclock::mergeVclock(const Vclock& other) {
  const std::size_t common = std::min(clockVector_.size(), other.clockVector_.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (clockVector_[i] < other.clockVector_[i]) store(other.clockVector_[i], i);
  }
  for (std::size_t i = common; i < other.clockVector_.size(); ++i) {
    clockVector_.push_back(other.clockVector_[i]);
  }
}

}  // namespace velbor
