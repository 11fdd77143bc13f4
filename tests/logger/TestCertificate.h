#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <filesystem>
#include <string>

#include "support/TempDir.h"

namespace velbor::test {

// A self-signed certificate and its key, made here and written as PEM files into a
// temporary folder that goes away with the object.
class TestCertificate {
 public:
  TestCertificate() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    bool made = key && cert && X509_set_version(cert, X509_VERSION_3) == 1 &&
                ASN1_INTEGER_set(X509_get_serialNumber(cert), 1) == 1 &&
                X509_gmtime_adj(X509_getm_notBefore(cert), -3600) && X509_gmtime_adj(X509_getm_notAfter(cert), 86400) &&
                X509_set_pubkey(cert, key) == 1;
    if (made) {
      X509_NAME* name = X509_get_subject_name(cert);
      made = X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char*>("velbor test viewer"), -1, -1, 0) == 1 &&
             X509_set_issuer_name(cert, name) == 1 && X509_sign(cert, key, EVP_sha256()) > 0;
    }
    if (made)
      made = writePem(certificatePath(), [&](BIO* out) { return PEM_write_bio_X509(out, cert); }) &&
             writePem(keyPath(), [&](BIO* out) {
               return PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
             });
    valid_ = made;
    X509_free(cert);
    EVP_PKEY_free(key);
  }

  bool valid() const { return valid_; }
  std::string certificatePath() const { return (dir_ / "viewer.crt").string(); }
  std::string keyPath() const { return (dir_ / "viewer.key").string(); }

 private:
  template <typename Write>
  static bool writePem(const std::string& path, Write write) {
    BIO* out = BIO_new_file(path.c_str(), "w");
    bool written = out && write(out) == 1;
    BIO_free(out);
    return written;
  }

  TempDir dir_{"velbor-cert"};
  bool valid_ = false;
};

}  // namespace velbor::test
