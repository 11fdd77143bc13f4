#include "framework/crypto/CryptoTestSupport.h"

#include <gtest/gtest.h>

#include "platform/Exception.h"
#include "support/TempDir.h"

namespace velbor::test {

std::string fromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string cryptoTestData(const std::string& name) {
  return readFile(std::filesystem::path(VELBOR_CRYPTO_TEST_DATA) / name);
}

std::string qoEncryptReason(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), "QoEncrypt");
    return e.reason();
  }
  ADD_FAILURE() << "expected a QoEncrypt exception";
  return {};
}

}  // namespace velbor::test
