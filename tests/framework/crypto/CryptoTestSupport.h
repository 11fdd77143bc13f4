#pragma once

#include <functional>
#include <string>

namespace velbor::test {

// Bytes from lower- or upper-case hexadecimal text.
std::string fromHex(const std::string& hex);
// A file of tests/framework/crypto/data.
std::string cryptoTestData(const std::string& name);
// Runs `operation` and returns the reason of the "QoEncrypt" exception it must raise; a
// gtest failure (and an empty text) when it raises nothing or something else.
std::string qoEncryptReason(const std::function<void()>& operation);

}  // namespace velbor::test
