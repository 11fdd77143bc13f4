#include "framework/crypto/Cryptor.h"

#include <climits>
#include <utility>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "framework/crypto/OpenSslHandles.h"
#include "platform/Exception.h"
#include "platform/QoLog.h"

namespace velbor {

namespace {

// A fresh key practically always passes its check; the bound only keeps a broken library
// from spinning here for ever.
constexpr int kKeyGenerationAttempts = 3;

PkeyPtr generateRsaKey(int bits) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) != 1) {
    return nullptr;
  }
  std::unique_ptr<BIGNUM, decltype(&BN_free)> exponent(BN_new(), &BN_free);
  if (!exponent || BN_set_word(exponent.get(), RSA_F4) != 1 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) != 1) {
    return nullptr;
  }
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_generate(ctx.get(), &key) != 1) return nullptr;
  return PkeyPtr(key);
}

std::string digestOf(const std::string& data, const EVP_MD* md) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), out, &length, md, nullptr) != 1) {
    QoLog("EVP_Digest() failed!");
    return {};
  }
  return std::string(reinterpret_cast<const char*>(out), length);
}

}  // namespace

std::string Cryptor::generateRSAPrivateKeyWithLength(int bits) {
  PkeyPtr key;
  for (int attempt = 0; attempt < kKeyGenerationAttempts && !key; ++attempt) {
    PkeyPtr candidate = generateRsaKey(bits);
    if (!candidate) break;
    if (checkPrivateKey(candidate.get()) == 1) key = std::move(candidate);
  }
  if (!key) {
    QoLog("cannot generate a {}-bit RSA key", bits);
    return {};
  }
  BioPtr sink(BIO_new(BIO_s_mem()));
  if (!sink ||
      PEM_write_bio_PrivateKey_traditional(sink.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    QoLog("cannot write private key to memory");
    return {};
  }
  return bytesOfSink(sink.get());
}

std::string Cryptor::generateRSAPublicKeyFromPrivateKey(const std::string& privateKeyPem) {
  BioPtr reader = readerOver(privateKeyPem);
  if (!reader) {
    QoLog("BIO_new_mem_buf() failed!");
    return {};
  }
  PkeyPtr key = readRsaPrivateKey(reader.get());
  if (!key) {
    QoLog("PEM_read_bio_RSAPrivateKey() failed!");
    return {};
  }
  int check = checkPrivateKey(key.get());
  if (check != 1) {
    QoLog("RSA_check_key() failed with result {}!", check);
    return {};
  }
  BioPtr sink(BIO_new(BIO_s_mem()));
  if (!sink || PEM_write_bio_PUBKEY(sink.get(), key.get()) != 1) {
    QoLog("cannot write public key to memory");
    return {};
  }
  return bytesOfSink(sink.get());
}

std::string Cryptor::getKeyDataWithLength(std::size_t length) {
  if (length > static_cast<std::size_t>(INT_MAX)) {
    throw Exception("QoEncrypt", fmt::format("RAND_bytes() cannot make {} bytes", length));
  }
  std::string bytes(length, '\0');
  if (length > 0 && RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(length)) != 1) {
    throw Exception("QoEncrypt", "RAND_bytes() failed!");
  }
  return bytes;
}

std::string Cryptor::getKeyDataWithLength(std::size_t length, const std::string& fromPassword,
                                          const std::string& withSalt, unsigned withIterations) {
  constexpr auto kIntMax = static_cast<std::size_t>(INT_MAX);
  if (length == 0) return {};
  if (length > kIntMax || fromPassword.size() > kIntMax || withSalt.size() > kIntMax || withIterations > INT_MAX) {
    QoLog("PKCS5_PBKDF2_HMAC_SHA1() failed!");
    return {};
  }
  std::string bytes(length, '\0');
  if (PKCS5_PBKDF2_HMAC_SHA1(fromPassword.data(), static_cast<int>(fromPassword.size()),
                             reinterpret_cast<const unsigned char*>(withSalt.data()), static_cast<int>(withSalt.size()),
                             static_cast<int>(withIterations), static_cast<int>(length),
                             reinterpret_cast<unsigned char*>(bytes.data())) != 1) {
    QoLog("PKCS5_PBKDF2_HMAC_SHA1() failed!");
    return {};
  }
  return bytes;
}

std::string Cryptor::getSHA1ForData(const std::string& data) { return digestOf(data, EVP_sha1()); }

std::string Cryptor::getMD5ForData(const std::string& data) { return digestOf(data, EVP_md5()); }

}  // namespace velbor
