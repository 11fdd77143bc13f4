#pragma once

#include <string>

#include "framework/crypto/Cryptor.h"

namespace velbor {

// All of the system's cryptography: the device key pair, AES keys, AES-128-CBC (zero IV,
// PKCS#7) and RSA PKCS#1 v1.5 over PEM keys, and public key conversions. Every failure
// raises Exception("QoEncrypt", reason). An empty key argument stands for a missing key.
//
// The selectors encryptData:key:, encryptData:publicKey:, ... all take two byte buffers,
// so each method keeps its second keyword in its name.
class QoEncrypt : public Cryptor {
 public:
  QoEncrypt() = delete;

  // A new 2048-bit private key as PKCS#1 PEM; empty when it cannot be written.
  static std::string generateRSAPrivateKey();
  // 16 random bytes.
  static std::string generateAESRandomKey();

  static std::string encryptDataPassphase(const std::string& data, const std::string& passphase);
  static std::string decryptDataPassphase(const std::string& data, const std::string& passphase);
  // The 16-byte AES key of a pass phrase: the first 16 bytes of SHA-1(SHA-1(pass phrase)).
  static std::string generateAESKey(const std::string& passphase);

  // AES-128-CBC with an all-zero IV; the key must be exactly 16 bytes. A cipher text is
  // never empty, so decrypting empty input fails.
  static std::string encryptDataKey(const std::string& data, const std::string& key);
  static std::string decryptDataKey(const std::string& data, const std::string& key);
  // The same in the given buffer, which comes back holding the result: no second buffer of
  // the size of a file part. Encrypting grows the buffer by up to one block; a buffer with
  // that much spare capacity is not moved.
  static std::string encryptDataKey(std::string&& data, const std::string& key);
  static std::string decryptDataKey(std::string&& data, const std::string& key);

  // RSA PKCS#1 v1.5. Encrypting with the private key is the signature (block type 1, the
  // data signed as it is); decrypting with the public key recovers it. The decrypting
  // operations return an empty input unchanged, after checking that a key is given.
  static std::string encryptDataPublicKey(const std::string& data, const std::string& publicKey);
  static std::string decryptDataPublicKey(const std::string& data, const std::string& publicKey);
  static std::string encryptDataPrivateKey(const std::string& data, const std::string& privateKey);
  static std::string decryptDataPrivateKey(const std::string& data, const std::string& privateKey);

  // SubjectPublicKeyInfo PEM <-> DER.
  static std::string convertPublicKeyFromPemToDer(const std::string& pem);
  static std::string convertPublicKeyFromDerToPem(const std::string& der);

  // Loads libcrypto's algorithms and error strings once per process. libcrypto locks
  // itself, so no locking callbacks are needed.
  static void opensslSetup();
  // Releases nothing: other threads may still be using libcrypto, and its own exit handler
  // frees it at process end.
  static void opensslCleanup();
};

}  // namespace velbor
