#include "framework/crypto/Cryptor.h"

#include <gtest/gtest.h>

#include "framework/crypto/CryptoTestSupport.h"

namespace velbor {
namespace {

using test::cryptoTestData;
using test::fromHex;

TEST(CryptorTest, RandomBytesHaveTheAskedLengthAndDiffer) {
  EXPECT_EQ(Cryptor::getKeyDataWithLength(0), "");
  std::string first = Cryptor::getKeyDataWithLength(32);
  std::string second = Cryptor::getKeyDataWithLength(32);
  EXPECT_EQ(first.size(), 32u);
  EXPECT_NE(first, second);
}

TEST(CryptorTest, DigestsAndPasswordKeysMatchKnownVectors) {
  EXPECT_EQ(Cryptor::getSHA1ForData("abc"), fromHex("a9993e364706816aba3e25717850c26c9cd0d89d"));
  EXPECT_EQ(Cryptor::getMD5ForData(""), fromHex("d41d8cd98f00b204e9800998ecf8427e"));
  // PBKDF2-HMAC-SHA1 vectors of RFC 6070.
  EXPECT_EQ(Cryptor::getKeyDataWithLength(20, "password", "salt", 1),
            fromHex("0c60c80f961f0e71f3a9b524af6012062fe037a6"));
  EXPECT_EQ(Cryptor::getKeyDataWithLength(20, "password", "salt", 2),
            fromHex("ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"));
  // The default of 1000 iterations, made with `openssl kdf -keylen 16 -kdfopt digest:SHA1
  // -kdfopt pass:password -kdfopt salt:salt -kdfopt iter:1000 PBKDF2`.
  EXPECT_EQ(Cryptor::getKeyDataWithLength(16, "password", "salt"), fromHex("6E88BE8BAD7EAE9D9E10AA061224034F"));
  EXPECT_EQ(Cryptor::getKeyDataWithLength(16, "password", "salt", 0), "");
}

TEST(CryptorTest, PublicKeyOfPrivateKeyEqualsOpensslCli) {
  // data/test_key.pub.pem: `openssl pkey -in test_key.pem -pubout`.
  EXPECT_EQ(Cryptor::generateRSAPublicKeyFromPrivateKey(cryptoTestData("test_key.pem")),
            cryptoTestData("test_key.pub.pem"));
  EXPECT_EQ(Cryptor::generateRSAPublicKeyFromPrivateKey("not a key"), "");
  EXPECT_EQ(Cryptor::generateRSAPublicKeyFromPrivateKey(cryptoTestData("test_key.pub.pem")), "");
  // A size libcrypto refuses gives an empty key instead of looping.
  EXPECT_EQ(Cryptor::generateRSAPrivateKeyWithLength(0), "");
}

}  // namespace
}  // namespace velbor
