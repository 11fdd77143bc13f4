#include "framework/errors/QoExceptionProto.h"

#include <gtest/gtest.h>

#include <string>

namespace velbor {
namespace {

template <typename E>
void expectFamilyMember(int expectedCode, const std::string& expectedName) {
  E made = E::defaultExceptionWithReason("reason {}", 1);
  EXPECT_EQ(made.code(), expectedCode) << expectedName;
  EXPECT_EQ(made.getCode(), expectedCode) << expectedName;
  EXPECT_EQ(made.name(), expectedName);
  EXPECT_EQ(made.description(), expectedName + ": reason 1");
  // The subclass's code wins over any stored one, also through the base class.
  E withCode = E::exceptionWithCode(99, "x");
  const QoException& base = withCode;
  EXPECT_EQ(base.code(), expectedCode) << expectedName;
}

TEST(QoExceptionTest, EverySubclassReportsItsOwnCodeAndName) {
  expectFamilyMember<QoExceptionZeSuccess>(0, "QoExceptionZeSuccess");
  expectFamilyMember<QoExceptionZeGeneral>(1, "QoExceptionZeGeneral");
  expectFamilyMember<QoExceptionZeBadMsgcode>(2, "QoExceptionZeBadMsgcode");
  expectFamilyMember<QoExceptionZeBadDevice>(3, "QoExceptionZeBadDevice");
  expectFamilyMember<QoExceptionZeBadFormat>(4, "QoExceptionZeBadFormat");
  expectFamilyMember<QoExceptionZeBadTree>(5, "QoExceptionZeBadTree");
  expectFamilyMember<QoExceptionZeVclockMismatch>(6, "QoExceptionZeVclockMismatch");
  expectFamilyMember<QoExceptionZeBadSyncdir>(7, "QoExceptionZeBadSyncdir");
  expectFamilyMember<QoExceptionZeSqlite>(8, "QoExceptionZeSqlite");
  expectFamilyMember<QoExceptionZeExist>(9, "QoExceptionZeExist");
  expectFamilyMember<QoExceptionZeNoent>(10, "QoExceptionZeNoent");
  expectFamilyMember<QoExceptionZeBadUuid>(11, "QoExceptionZeBadUuid");
  expectFamilyMember<QoExceptionZePeerError>(12, "QoExceptionZePeerError");
  expectFamilyMember<QoExceptionZeSyncdirMismatch>(13, "QoExceptionZeSyncdirMismatch");
  expectFamilyMember<QoExceptionZeBadPath>(14, "QoExceptionZeBadPath");
  expectFamilyMember<QoExceptionZeBadPart>(15, "QoExceptionZeBadPart");
  expectFamilyMember<QoExceptionZeNestedTree>(16, "QoExceptionZeNestedTree");
  expectFamilyMember<QoExceptionZeSyncWithSelf>(17, "QoExceptionZeSyncWithSelf");
  expectFamilyMember<QoExceptionZeSyncNoempty>(18, "QoExceptionZeSyncNoempty");
  expectFamilyMember<QoExceptionZeOperateTimeout>(19, "QoExceptionZeOperateTimeout");
  expectFamilyMember<QoExceptionZePermissionDeny>(20, "QoExceptionZePermissionDeny");
  expectFamilyMember<QoExceptionZeUntrusted>(21, "QoExceptionZeUntrusted");
  expectFamilyMember<QoExceptionZeMsgTampering>(22, "QoExceptionZeMsgTampering");
}

TEST(QoExceptionTest, BaseClassCarriesTheStoredCode) {
  QoException peer = QoException::exceptionWithCode(13, "Sync once get error find response from({}); {}", "dev", "why");
  EXPECT_EQ(peer.code(), 13);
  EXPECT_EQ(peer.description(), "QoException: Sync once get error find response from(dev); why");
  peer.setCode(5);
  EXPECT_EQ(peer.getCode(), 5);

  QoException plain = QoException::defaultException();
  EXPECT_EQ(plain.code(), 1);
  EXPECT_EQ(plain.reason(), "");
  EXPECT_EQ(plain.description(), "QoException: ");

  QoExceptionZeNoent noent = QoExceptionZeNoent::defaultException();
  noent.setCode(3);
  EXPECT_EQ(noent.code(), 10);
  EXPECT_EQ(noent.description(), "QoExceptionZeNoent: ");
}

TEST(QoExceptionTest, ThrownSubclassIsCaughtAsFamilyWithItsCode) {
  try {
    throw QoExceptionZeUntrusted::defaultExceptionWithReason("device {} untrusted", "d1");
  } catch (const QoException& e) {
    EXPECT_EQ(e.code(), 21);
    EXPECT_EQ(e.description(), "QoExceptionZeUntrusted: device d1 untrusted");
  }
  try {
    throw QoExceptionZeBadPath::defaultExceptionWithReason("bad");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "QoExceptionZeBadPath: bad");
  }
}

TEST(QoExceptionTest, ExceptionsNamedByTheirTextAreMadeOutsideTheClasses) {
  try {
    throw QoException::exceptionWithName("Address already in use", "地址已经被占用");
  } catch (const QoException& e) {
    EXPECT_EQ(e.name(), "Address already in use");
    EXPECT_EQ(e.reason(), "地址已经被占用");
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.description(), "Address already in use: 地址已经被占用");
  }
  EXPECT_EQ(QoException::exceptionWithName("Permission denied", "禁止绑定该端口", 20).code(), 20);
}

}  // namespace
}  // namespace velbor
