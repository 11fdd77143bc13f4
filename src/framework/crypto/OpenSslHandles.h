#pragma once

#include <climits>
#include <memory>
#include <string>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace velbor {

// Owning handles for libcrypto objects, so every path releases what it made.
struct OpenSslFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

using BioPtr = std::unique_ptr<BIO, OpenSslFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OpenSslFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslFree>;

// A read-only memory reader over `bytes`; the bytes must outlive the reader. Null when the
// bytes are too long for the reader's int length (a negative length would mean strlen).
inline BioPtr readerOver(const std::string& bytes) {
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return nullptr;
  return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// Everything written so far into a memory sink.
inline std::string bytesOfSink(BIO* sink) {
  char* data = nullptr;
  long length = BIO_get_mem_data(sink, &data);
  return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

// Keys come unencrypted; an encrypted PEM must fail instead of prompting on a terminal.
inline int refusePassphrase(char*, int, int, void*) { return -1; }

// An RSA private key from PEM (PKCS#1 or PKCS#8); null when unreadable or not RSA.
inline PkeyPtr readRsaPrivateKey(BIO* reader) {
  PkeyPtr key(PEM_read_bio_PrivateKey(reader, nullptr, refusePassphrase, nullptr));
  if (key && EVP_PKEY_is_a(key.get(), "RSA") != 1) key.reset();
  return key;
}

// An RSA public key from the first "PUBLIC KEY" (SubjectPublicKeyInfo) PEM block; null when
// there is none, it is unreadable or not RSA. The block is found by its label first, since
// libcrypto's own PUBKEY reader also takes private keys and PKCS#1 public keys.
inline PkeyPtr readRsaPublicKey(BIO* reader) {
  unsigned char* der = nullptr;
  long length = 0;
  char* label = nullptr;
  if (PEM_bytes_read_bio(&der, &length, &label, PEM_STRING_PUBLIC, reader, refusePassphrase, nullptr) != 1) {
    return nullptr;
  }
  const unsigned char* cursor = der;
  PkeyPtr key(d2i_PUBKEY(nullptr, &cursor, length));
  OPENSSL_free(der);
  OPENSSL_free(label);
  if (key && EVP_PKEY_is_a(key.get(), "RSA") != 1) key.reset();
  return key;
}

// The full consistency check of a private key; 1 when sound.
inline int checkPrivateKey(EVP_PKEY* key) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  return ctx ? EVP_PKEY_check(ctx.get()) : 0;
}

}  // namespace velbor
