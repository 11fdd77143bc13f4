#include "framework/crypto/QoEncrypt.h"

#include <climits>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#include <fmt/format.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "framework/crypto/OpenSslHandles.h"
#include "platform/Exception.h"
#include "platform/QoLog.h"

namespace velbor {

namespace {

constexpr std::size_t kAesKeyLength = 16;
constexpr std::size_t kAesBlockLength = 16;
constexpr int kRsaKeyBits = 2048;

// Raises the platform's crypto failure. The thread's error queue is emptied first so that
// an old entry never shows up in the reason of a later, unrelated failure.
[[noreturn]] void fail(std::string reason) {
  ERR_clear_error();
  throw Exception("QoEncrypt", std::move(reason));
}

void requireAesKey(const std::string& key) {
  if (key.size() != kAesKeyLength) {
    fail(fmt::format("AES key must be {} bytes, not {}", kAesKeyLength, key.size()));
  }
}

const unsigned char* bytesOf(const std::string& data) { return reinterpret_cast<const unsigned char*>(data.data()); }
unsigned char* bytesOf(std::string& data) { return reinterpret_cast<unsigned char*>(data.data()); }

std::string errorText(unsigned long error) {
  char text[256];
  ERR_error_string_n(error, text, sizeof text);
  return text;
}

std::string reasonText(unsigned long error) {
  const char* reason = ERR_reason_error_string(error);
  return reason ? reason : "unknown reason";
}

// The four RSA operations differ only in the key they read, the primitive they run and
// their failure texts.
struct RsaOperation {
  bool usesPrivateKey;
  bool passesEmptyInput;
  const char* missingKey;
  const char* readFailed;
  const char* verb;  // "Encrypt" or "Decrypt" in the libcrypto error reason
  const char* primitiveFailed;
  int (*init)(EVP_PKEY_CTX*);
  int (*run)(EVP_PKEY_CTX*, unsigned char*, size_t*, const unsigned char*, size_t);
};

const RsaOperation kPublicEncrypt{false,
                                  false,
                                  "Cannot encrypt without the public key, which is currently nil",
                                  "PEM_read_bio_RSA_PUBKEY() failed!",
                                  "Encrypt",
                                  "RSA_public_encrypt failed!",
                                  EVP_PKEY_encrypt_init,
                                  EVP_PKEY_encrypt};
const RsaOperation kPublicDecrypt{false,
                                  true,
                                  "Cannot verify (decrypt) without the public key, which is currently nil",
                                  "PEM_read_bio_RSA_PUBKEY() failed!",
                                  "Decrypt",
                                  "RSA_public_decrypt() failed!",
                                  EVP_PKEY_verify_recover_init,
                                  EVP_PKEY_verify_recover};
const RsaOperation kPrivateEncrypt{true,
                                   false,
                                   "Cannot sign (encrypt) without the private key, which is currently nil",
                                   "Encrypt privatekey, PEM_read_bio_RSAPrivateKey() failed!",
                                   "Encrypt",
                                   "RSA_private_encrypt failed!",
                                   EVP_PKEY_sign_init,
                                   EVP_PKEY_sign};
const RsaOperation kPrivateDecrypt{true,
                                   true,
                                   "Cannot decrypt without the private key, which is currently nil",
                                   "decrypt DATA PEM_read_bio_RSAPrivateKey() failed!",
                                   "Decrypt",
                                   "RSA_private_decrypt() failed!",
                                   EVP_PKEY_decrypt_init,
                                   EVP_PKEY_decrypt};

// The last few keys read, by their PEM text. Reading a key costs about as much as a public
// key operation, and the full check of a private key tests its primes (tens of milliseconds),
// while the same few keys seal and open every message. A key is never changed once stored, so
// threads may use it at once; each use holds its own reference.
class KeyCache {
 public:
  PkeyPtr find(const std::string& pem) {
    std::lock_guard lock(mutex_);
    for (const auto& [text, key] : entries_) {
      if (text == pem) return share(key.get());
    }
    return nullptr;
  }

  void remember(const std::string& pem, EVP_PKEY* key) {
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries_) {
      if (entry.first == pem) return;
    }
    if (entries_.size() == kRemembered) entries_.pop_front();
    entries_.emplace_back(pem, share(key));
  }

 private:
  static constexpr std::size_t kRemembered = 8;

  static PkeyPtr share(EVP_PKEY* key) {
    EVP_PKEY_up_ref(key);
    return PkeyPtr(key);
  }

  std::mutex mutex_;
  std::deque<std::pair<std::string, PkeyPtr>> entries_;
};

// Never destroyed: libcrypto may already be torn down by its own exit handler.
KeyCache& keyCache(bool privateKeys) {
  static KeyCache* const privateCache = new KeyCache;
  static KeyCache* const publicCache = new KeyCache;
  return privateKeys ? *privateCache : *publicCache;
}

// The operation's key from PEM; a private key only once it passed the full check.
PkeyPtr keyFor(const RsaOperation& op, const std::string& pem) {
  KeyCache& cache = keyCache(op.usesPrivateKey);
  if (PkeyPtr key = cache.find(pem)) return key;
  BioPtr reader = readerOver(pem);
  if (!reader) fail("BIO_new_mem_buf() failed!");
  PkeyPtr key = op.usesPrivateKey ? readRsaPrivateKey(reader.get()) : readRsaPublicKey(reader.get());
  if (!key) fail(op.readFailed);
  if (op.usesPrivateKey && checkPrivateKey(key.get()) != 1) fail("RSA_check_key() failed with result");
  cache.remember(pem, key.get());
  return key;
}

// Runs one RSA primitive with PKCS#1 v1.5 padding. No signature digest is set, so signing
// pads the data as it is (block type 1) without a DigestInfo.
std::string runRsa(const RsaOperation& op, const std::string& data, const std::string& pem) {
  if (pem.empty()) fail(op.missingKey);
  if (op.passesEmptyInput && data.empty()) return data;
  ERR_clear_error();

  PkeyPtr key = keyFor(op, pem);
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  std::string out(static_cast<std::size_t>(EVP_PKEY_get_size(key.get())), '\0');
  std::size_t outLength = out.size();
  bool done = ctx && op.init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
              op.run(ctx.get(), bytesOf(out), &outLength, bytesOf(data), data.size()) == 1;
  if (!done) {
    unsigned long error = ERR_get_error();
    if (error == 0) fail(op.primitiveFailed);
    unsigned long further = ERR_get_error();
    fail(fmt::format("{} error: {} ({})", op.verb, errorText(error), reasonText(further ? further : error)));
  }
  out.resize(outLength);
  return out;
}

}  // namespace

std::string QoEncrypt::generateRSAPrivateKey() { return generateRSAPrivateKeyWithLength(kRsaKeyBits); }

std::string QoEncrypt::generateAESRandomKey() { return getKeyDataWithLength(kAesKeyLength); }

std::string QoEncrypt::encryptDataPassphase(const std::string& data, const std::string& passphase) {
  return encryptDataKey(data, generateAESKey(passphase));
}

std::string QoEncrypt::decryptDataPassphase(const std::string& data, const std::string& passphase) {
  return decryptDataKey(data, generateAESKey(passphase));
}

std::string QoEncrypt::generateAESKey(const std::string& passphase) {
  std::string key(kAesKeyLength, '\0');
  if (passphase.size() > static_cast<std::size_t>(INT_MAX) ||
      EVP_BytesToKey(EVP_aes_128_cbc(), EVP_sha1(), nullptr, bytesOf(passphase), static_cast<int>(passphase.size()), 2,
                     bytesOf(key), nullptr) == 0) {
    fail("*** EVP_BytesToKey failed");
  }
  return key;
}

std::string QoEncrypt::encryptDataKey(const std::string& data, const std::string& key) {
  std::string buffer;
  buffer.reserve(data.size() + kAesBlockLength);
  buffer.assign(data);
  return encryptDataKey(std::move(buffer), key);
}

std::string QoEncrypt::decryptDataKey(const std::string& data, const std::string& key) {
  return decryptDataKey(std::string(data), key);
}

// libcrypto encrypts and decrypts in place when the output is the input itself.
std::string QoEncrypt::encryptDataKey(std::string&& data, const std::string& key) {
  requireAesKey(key);
  if (data.size() > static_cast<std::size_t>(INT_MAX) - 2 * kAesBlockLength) fail("EVP_EncryptUpdate() failed!");
  const unsigned char iv[kAesBlockLength] = {};
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, bytesOf(key), iv) != 1) {
    fail("EVP_EncryptInit_ex() failed!");
  }
  const int length = static_cast<int>(data.size());
  data.resize(data.size() + kAesBlockLength);
  int updated = 0;
  if (EVP_EncryptUpdate(ctx.get(), bytesOf(data), &updated, bytesOf(data), length) != 1) {
    fail("EVP_EncryptUpdate() failed!");
  }
  int finished = 0;
  if (EVP_EncryptFinal_ex(ctx.get(), bytesOf(data) + updated, &finished) != 1) fail("EVP_EncryptFinal_ex() failed!");
  data.resize(static_cast<std::size_t>(updated + finished));
  return std::move(data);
}

std::string QoEncrypt::decryptDataKey(std::string&& data, const std::string& key) {
  requireAesKey(key);
  if (data.empty()) fail("Cannot decrypt an empty cipher text");
  if (data.size() > static_cast<std::size_t>(INT_MAX) - 2 * kAesBlockLength) fail("EVP_DecryptUpdate() failed!");
  const unsigned char iv[kAesBlockLength] = {};
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, bytesOf(key), iv) != 1) {
    fail("EVP_DecryptInit() failed!");
  }
  // The plain text is never longer than the cipher text; the last block stays inside
  // libcrypto until the final call.
  int updated = 0;
  if (EVP_DecryptUpdate(ctx.get(), bytesOf(data), &updated, bytesOf(data), static_cast<int>(data.size())) != 1) {
    fail("EVP_DecryptUpdate() failed!");
  }
  int finished = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), bytesOf(data) + updated, &finished) != 1) fail("EVP_DecryptFinal() failed!");
  data.resize(static_cast<std::size_t>(updated + finished));
  return std::move(data);
}

std::string QoEncrypt::encryptDataPublicKey(const std::string& data, const std::string& publicKey) {
  return runRsa(kPublicEncrypt, data, publicKey);
}

std::string QoEncrypt::decryptDataPublicKey(const std::string& data, const std::string& publicKey) {
  return runRsa(kPublicDecrypt, data, publicKey);
}

std::string QoEncrypt::encryptDataPrivateKey(const std::string& data, const std::string& privateKey) {
  return runRsa(kPrivateEncrypt, data, privateKey);
}

std::string QoEncrypt::decryptDataPrivateKey(const std::string& data, const std::string& privateKey) {
  return runRsa(kPrivateDecrypt, data, privateKey);
}

std::string QoEncrypt::convertPublicKeyFromPemToDer(const std::string& pem) {
  BioPtr reader = readerOver(pem);
  if (!reader) fail("BIO_new_mem_buf() failed!");
  PkeyPtr key = readRsaPublicKey(reader.get());
  if (!key) fail("PEM_read_bio_RSA_PUBKEY() failed!");
  int length = i2d_PUBKEY(key.get(), nullptr);
  if (length <= 0) fail("i2d_RSA_PUBKEY() failed with result");
  std::string der(static_cast<std::size_t>(length), '\0');
  unsigned char* cursor = bytesOf(der);
  if (i2d_PUBKEY(key.get(), &cursor) != length) fail("i2d_RSA_PUBKEY() failed with result");
  return der;
}

std::string QoEncrypt::convertPublicKeyFromDerToPem(const std::string& der) {
  BioPtr sink(BIO_new(BIO_s_mem()));
  if (!sink) fail("BIO_new_mem_buf() failed!");
  // The bytes come from a peer unchecked: anything but an RSA SubjectPublicKeyInfo is refused.
  const unsigned char* cursor = bytesOf(der);
  PkeyPtr key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())));
  if (!key || EVP_PKEY_is_a(key.get(), "RSA") != 1) fail("convertPublicKeyFromDerToPem, d2i_RSA_PUBKEY() failed!");
  if (PEM_write_bio_PUBKEY(sink.get(), key.get()) != 1) {
    fail("convertPublicKeyFromDerToPem, PEM_write_bio_RSA_PUBKEY() failed!");
  }
  return bytesOfSink(sink.get());
}

void QoEncrypt::opensslSetup() {
  // Safe to call again and from several threads: libcrypto initialises itself once. Never
  // cleaned up at exit: a pull or request still running then goes on signing and hashing.
  constexpr uint64_t options = OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS |
                               OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT;
  if (OPENSSL_init_crypto(options, nullptr) != 1) QoLog("OPENSSL_init_crypto() failed!");
}

void QoEncrypt::opensslCleanup() {}

namespace {
// libcrypto takes the options of its first initialisation only: this one comes before any
// other call, when the program is loaded.
[[maybe_unused]] const bool kOpensslSetUp = (QoEncrypt::opensslSetup(), true);
}  // namespace

}  // namespace velbor
