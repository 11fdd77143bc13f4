#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "LoggerTestSupport.h"
#include "TestCertificate.h"
#include "TlsTestViewer.h"
#include "logger/LoggerSecureStream.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

constexpr int kLines = 40;
constexpr int kTlsHandshakeRecord = 0x16;

std::vector<std::string> stdoutLines(const std::vector<ViewerMessage>& messages) {
  std::vector<std::string> lines;
  for (const auto& m : messages)
    if (m.type() == 0 && m.text(5) == "stdout") lines.push_back(m.text(7));
  return lines;
}

TEST(LoggerSecureStream, AViewerOverTlsReceivesEveryCapturedLineAfterTheClientInformation) {
  TestCertificate certificate;
  TlsTestViewer viewer(certificate);
  ASSERT_TRUE(viewer.ready());
  viewer.listen();
  LoggerChild child({"secure-host", std::to_string(viewer.port()), "-", "1000000", std::to_string(kLines)});
  ASSERT_TRUE(viewer.accept(20)) << "no TLS session with the client";
  auto wanted = expectedLines(kLines);
  auto messages = viewer.readUntil([&](const auto& got) { return hasAll(got, wanted); }, 30);
  ASSERT_FALSE(viewer.malformed());
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front().type(), 3u);
  EXPECT_TRUE(hasAll(messages, wanted));
  auto out = stdoutLines(messages);
  ASSERT_EQ(out.size(), size_t{kLines});
  for (int i = 0; i < kLines; ++i) EXPECT_EQ(out[i], "out " + std::to_string(i));
  EXPECT_EQ(child.finish(), 0);
}

// Without the option the same viewer port gets the plain message stream, no TLS record.
TEST(LoggerSecureStream, WithoutTheOptionTheStreamIsPlain) {
  TestViewer viewer;
  viewer.listen();
  LoggerChild child({"host", std::to_string(viewer.port()), "-", "1000000", "3"});
  ASSERT_TRUE(viewer.accept(20));
  pollfd p{viewer.connection(), POLLIN, 0};
  ASSERT_GT(::poll(&p, 1, 20000), 0);
  unsigned char first = 0xff;
  ASSERT_EQ(::recv(viewer.connection(), &first, 1, MSG_PEEK), 1);
  EXPECT_NE(first, kTlsHandshakeRecord);
  auto messages = viewer.readUntil([](const auto& got) { return hasAll(got, expectedLines(3)); }, 30);
  EXPECT_FALSE(viewer.malformed());
  EXPECT_TRUE(hasAll(messages, expectedLines(3)));
  EXPECT_EQ(child.finish(), 0);
}

// A viewer that breaks off the handshake, then one that answers with something other than
// TLS: nothing is sent to either, and every line, kept in the buffer file meanwhile, reaches
// the next viewer that completes the handshake.
TEST(LoggerSecureStream, AFailedHandshakeLosesNothing) {
  TempDir dir;
  auto file = dir / "buffer.logger";
  TestCertificate certificate;
  TlsTestViewer viewer(certificate);
  ASSERT_TRUE(viewer.ready());
  viewer.listen();
  LoggerChild child({"secure-host", std::to_string(viewer.port()), file.string(), "1000000", std::to_string(kLines)});

  EXPECT_EQ(viewer.acceptAndBreakOffHandshake(20), kTlsHandshakeRecord);
  bool gaveUp = false;
  EXPECT_EQ(viewer.acceptAndAnswerGarbage(20, &gaveUp), kTlsHandshakeRecord);
  EXPECT_TRUE(gaveUp) << "the client kept a connection whose handshake failed";

  ASSERT_TRUE(viewer.accept(20)) << "the client did not come back for a TLS session";
  auto wanted = expectedLines(kLines);
  auto messages = viewer.readUntil([&](const auto& got) { return hasAll(got, wanted); }, 30);
  ASSERT_FALSE(viewer.malformed());
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front().type(), 3u);
  EXPECT_TRUE(hasAll(messages, wanted)) << "lines were lost with the failed handshakes";
  auto out = stdoutLines(messages);
  ASSERT_EQ(out.size(), size_t{kLines});
  for (int i = 0; i < kLines; ++i) EXPECT_EQ(out[i], "out " + std::to_string(i));
  EXPECT_EQ(child.finish(), 0);
}


// A viewer that asks for a new handshake and then leaves it unanswered must not hold up
// the stream: the request is refused and what follows goes out as before. (Were it followed,
// every write would wait for the viewer's answer, and the worker, with lines to send, would
// wake for the writable socket again and again without end.)
TEST(LoggerSecureStream, AViewerAskingForANewHandshakeDoesNotStopTheWrites) {
  TestCertificate certificate;
  ASSERT_TRUE(certificate.valid());
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  ASSERT_NE(context, nullptr);
  // Only TLS 1.2 and older have a renegotiation.
  SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
  ASSERT_EQ(SSL_CTX_use_certificate_file(context, certificate.certificatePath().c_str(), SSL_FILETYPE_PEM), 1);
  ASSERT_EQ(SSL_CTX_use_PrivateKey_file(context, certificate.keyPath().c_str(), SSL_FILETYPE_PEM), 1);
  SSL* viewer = SSL_new(context);
  SSL_set_fd(viewer, fds[1]);
  SSL_set_accept_state(viewer);
  {
    auto client = LoggerSecureStream::create(fds[0]);
    ASSERT_TRUE(client);
    bool clientUp = false, viewerUp = false;
    for (int round = 0; round < 100 && !(clientUp && viewerUp); ++round) {
      if (!clientUp) {
        auto step = client->handshake();
        ASSERT_NE(step, LoggerSecureStream::Result::failed);
        clientUp = step == LoggerSecureStream::Result::done;
      }
      if (!viewerUp) viewerUp = SSL_do_handshake(viewer) == 1;
    }
    ASSERT_TRUE(clientUp && viewerUp);

    ASSERT_EQ(SSL_renegotiate(viewer), 1);
    SSL_do_handshake(viewer);  // sends the request; the answer is never read
    ERR_clear_error();
    EXPECT_NE(client->drain(), LoggerSecureStream::Result::failed);
    size_t written = 0;
    EXPECT_EQ(client->write("line", 4, &written), LoggerSecureStream::Result::done);
    EXPECT_EQ(written, 4u);
  }
  SSL_free(viewer);
  SSL_CTX_free(context);
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace velbor::test
