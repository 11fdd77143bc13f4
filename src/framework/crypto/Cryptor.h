#pragma once

#include <cstddef>
#include <string>

namespace velbor {

// General crypto helpers over libcrypto: RSA key pairs as PEM, random and password-derived
// key bytes, and digests. Failures are logged and give an empty result; only a failing
// random source raises, since callers must never receive a key that is not random.
class Cryptor {
 public:
  Cryptor() = delete;

  // A new RSA private key of `bits` bits with public exponent 65537, as unencrypted
  // PKCS#1 PEM ("RSA PRIVATE KEY"); empty on failure.
  static std::string generateRSAPrivateKeyWithLength(int bits);
  // The SubjectPublicKeyInfo PEM ("PUBLIC KEY") of a PEM private key; empty on failure.
  static std::string generateRSAPublicKeyFromPrivateKey(const std::string& privateKeyPem);

  // `length` bytes from libcrypto's random source; raises "QoEncrypt" when it fails.
  static std::string getKeyDataWithLength(std::size_t length);
  // `length` bytes of PBKDF2-HMAC-SHA1 over password and salt; empty on failure.
  static std::string getKeyDataWithLength(std::size_t length, const std::string& fromPassword,
                                          const std::string& withSalt, unsigned withIterations = 1000);

  static std::string getSHA1ForData(const std::string& data);
  static std::string getMD5ForData(const std::string& data);
};

}  // namespace velbor
