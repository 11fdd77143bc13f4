#include "core/utils/DataHex.h"

#include <optional>

#include "core/utils/Vclock.h"

namespace velbor {

std::string dataDescription(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0x0F]);
  }
  return out;
}

std::string descriptionForVclock(std::string_view bytes) {
  return Vclock(std::optional<std::string>(std::string(bytes))).description();
}

}  // namespace velbor
