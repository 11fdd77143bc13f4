#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "framework/network/StreamPeer.h"
#include "platform/Exception.h"

namespace velbor {
namespace {

// Two ends of a local stream socket: `in` reads what `out` writes, `raw` is the bare
// descriptor on the writing side for bytes the writers would never make.
class StreamPair : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    in = SocketStream::createWithSocket(fds[0], SocketStream::Direction::input, true);
    out = SocketStream::createWithSocket(fds[1], SocketStream::Direction::output, true);
    raw = fds[1];
    in->open();
    out->open();
  }
  std::string drain(size_t count) {
    std::string bytes(count, '\0');
    EXPECT_EQ(StreamPeer::readBytesWithInStream(*in, bytes.data(), static_cast<int64_t>(count)),
              static_cast<int64_t>(count));
    return bytes;
  }
  void sendRaw(const std::string& bytes) { ASSERT_EQ(::write(raw, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  void endWriting() { out->close(); }
  static std::string int32Bytes(int64_t value) {
    std::string bytes(8, '\0');
    std::memcpy(bytes.data(), &value, 8);
    return bytes;
  }

  std::shared_ptr<SocketStream> in, out;
  int raw = -1;
};

TEST_F(StreamPair, ValuesHaveTheirFixedLayoutAndReadBack) {
  StreamPeer::writeStringWithOutStream(*out, "abc");
  EXPECT_EQ(drain(11), std::string("\x03\0\0\0\0\0\0\0abc", 11));
  StreamPeer::writeArrayWithOutStream(*out, {});
  EXPECT_EQ(drain(8), std::string(8, '\0'));

  StreamPeer::writeInt8WithOutStream(*out, 200);
  StreamPeer::writeInt32WithOutStream(*out, -5);
  StreamPeer::writeInt64WithOutStream(*out, 0x0102030405060708ull);
  StreamPeer::writeStringWithOutStream(*out, "日本");
  StreamPeer::writeArrayWithOutStream(*out, {"x", "", "yz"});
  EXPECT_EQ(StreamPeer::readInt8WithInstream(*in), 200);
  EXPECT_EQ(StreamPeer::readInt32WithInStream(*in), -5);
  EXPECT_EQ(StreamPeer::readInt64WithInStream(*in), 0x0102030405060708ull);
  EXPECT_EQ(StreamPeer::readStringWithInStream(*in), std::optional<std::string>("日本"));
  std::vector<std::string> list{"kept"};
  StreamPeer::readArrayWithInStream(*in, list);
  EXPECT_EQ(list, (std::vector<std::string>{"kept", "x", "", "yz"}));
}

TEST_F(StreamPair, StringsEndAtAZeroByteAndAreAbsentWhenNotUtf8) {
  sendRaw(int32Bytes(5) + std::string("ab\0cd", 5));
  EXPECT_EQ(StreamPeer::readStringWithInStream(*in), std::optional<std::string>("ab"));
  sendRaw(int32Bytes(2) + "\xff\xfe");
  EXPECT_EQ(StreamPeer::readStringWithInStream(*in), std::nullopt);
  sendRaw(int32Bytes(-3));
  std::vector<std::string> list;
  StreamPeer::readArrayWithInStream(*in, list);
  EXPECT_TRUE(list.empty());
}

TEST_F(StreamPair, LengthsFromThePeerAreBoundedBeforeAnythingIsAllocated) {
  sendRaw(int32Bytes(int64_t{1} << 40));
  EXPECT_THROW(StreamPeer::readStringWithInStream(*in), Exception);
  sendRaw(int32Bytes(-1));
  EXPECT_THROW(StreamPeer::readStringWithInStream(*in), Exception);
  sendRaw(int32Bytes(StreamPeer::kMaxArrayCount + 1));
  std::vector<std::string> list;
  EXPECT_THROW(StreamPeer::readArrayWithInStream(*in, list), Exception);
  EXPECT_TRUE(list.empty());
}

TEST_F(StreamPair, AValueCutShortIsAnErrorAndAMissingByteReadsAs255) {
  sendRaw(int32Bytes(10) + "abc");
  endWriting();
  EXPECT_THROW(StreamPeer::readStringWithInStream(*in), Exception);
  EXPECT_EQ(StreamPeer::readInt8WithInstream(*in), 255);
  EXPECT_THROW(StreamPeer::readInt64WithInStream(*in), Exception);
}

TEST_F(StreamPair, AWriteThatCannotGoOutIsAnError) {
  in->close();
  EXPECT_THROW(StreamPeer::writeStringWithOutStream(*out, "lost"), Exception);
}

}  // namespace
}  // namespace velbor
