#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

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

// Reads until every one of the client's kLines lines came: the client information first,
// then the standard output lines in their order.
void expectEveryLineAfterTheClientInformation(TlsTestViewer& viewer) {
  auto wanted = expectedLines(kLines);
  auto messages = viewer.readUntil([&](const auto& got) { return hasAll(got, wanted); }, 30);
  ASSERT_FALSE(viewer.malformed());
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front().type(), 3u);
  EXPECT_TRUE(hasAll(messages, wanted)) << "lines were lost";
  auto out = stdoutLines(messages);
  ASSERT_EQ(out.size(), size_t{kLines});
  for (int i = 0; i < kLines; ++i) EXPECT_EQ(out[i], "out " + std::to_string(i));
}

// Reads until the client's first `count` lines came; whether they all did, well formed.
template <class Viewer>
bool readsLines(Viewer& viewer, int count) {
  auto wanted = expectedLines(count);
  auto messages = viewer.readUntil([&](const auto& got) { return hasAll(got, wanted); }, 30);
  return !viewer.malformed() && hasAll(messages, wanted);
}

TEST(LoggerSecureStream, AViewerOverTlsReceivesEveryCapturedLineAfterTheClientInformation) {
  TlsTestViewer viewer;
  ASSERT_TRUE(viewer.ready());
  LoggerChild child({"secure-host", std::to_string(viewer.port()), "-", "1000000", std::to_string(kLines)});
  ASSERT_TRUE(viewer.accept(20)) << "no TLS session with the client";
  ASSERT_NO_FATAL_FAILURE(expectEveryLineAfterTheClientInformation(viewer));
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
  EXPECT_TRUE(readsLines(viewer, 3));
  EXPECT_EQ(child.finish(), 0);
}

// A viewer that breaks off the handshake, then one that answers with something other than
// TLS: nothing is sent to either, and every line, kept in the buffer file meanwhile, reaches
// the next viewer that completes the handshake.
TEST(LoggerSecureStream, AFailedHandshakeLosesNothing) {
  TempDir dir;
  auto file = dir / "buffer.logger";
  TlsTestViewer viewer;
  ASSERT_TRUE(viewer.ready());
  LoggerChild child({"secure-host", std::to_string(viewer.port()), file.string(), "1000000", std::to_string(kLines)});

  EXPECT_EQ(viewer.acceptAndBreakOffHandshake(20), kTlsHandshakeRecord);
  bool gaveUp = false;
  EXPECT_EQ(viewer.acceptAndAnswer(20, "HTTP/1.0 400 Not a TLS server\r\n\r\n", &gaveUp), kTlsHandshakeRecord);
  EXPECT_TRUE(gaveUp) << "the client kept a connection whose handshake failed";

  ASSERT_TRUE(viewer.accept(20)) << "the client did not come back for a TLS session";
  ASSERT_NO_FATAL_FAILURE(expectEveryLineAfterTheClientInformation(viewer));
  EXPECT_EQ(child.finish(), 0);
}

// A client stream and a viewer session over the two ends of a socket pair, both non-blocking,
// driven by the test itself.
class SessionPair {
 public:
  explicit SessionPair(int maxVersion = 0) {
    if (!certificate_.valid() || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds_) != 0)
      return;
    context_ = SSL_CTX_new(TLS_server_method());
    if (!context_) return;
    if (maxVersion != 0) SSL_CTX_set_max_proto_version(context_, maxVersion);
    if (SSL_CTX_use_certificate_file(context_, certificate_.certificatePath().c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(context_, certificate_.keyPath().c_str(), SSL_FILETYPE_PEM) != 1)
      return;
    viewer_ = SSL_new(context_);
    SSL_set_fd(viewer_, fds_[1]);
    SSL_set_accept_state(viewer_);
    client_ = LoggerSecureStream::create(fds_[0]);
  }
  ~SessionPair() {
    client_.reset();
    SSL_free(viewer_);
    SSL_CTX_free(context_);
    for (int fd : fds_)
      if (fd >= 0) ::close(fd);
    ERR_clear_error();
  }
  SessionPair(const SessionPair&) = delete;
  SessionPair& operator=(const SessionPair&) = delete;

  bool handshake() {
    if (!client_ || !viewer_) return false;
    bool clientUp = false, viewerUp = false;
    for (int round = 0; round < 100 && !(clientUp && viewerUp); ++round) {
      if (!clientUp) {
        auto step = client_->handshake();
        if (step == LoggerSecureStream::Result::failed) return false;
        clientUp = step == LoggerSecureStream::Result::done;
      }
      if (!viewerUp) viewerUp = SSL_do_handshake(viewer_) == 1;
      ERR_clear_error();
    }
    return clientUp && viewerUp;
  }
  LoggerSecureStream& client() { return *client_; }
  SSL* viewer() { return viewer_; }
  int clientFd() const { return fds_[0]; }

 private:
  TestCertificate certificate_;
  int fds_[2] = {-1, -1};
  SSL_CTX* context_ = nullptr;
  SSL* viewer_ = nullptr;
  std::unique_ptr<LoggerSecureStream> client_;
};

// A viewer that asks for a new handshake and then leaves it unanswered must not hold up
// the stream: the request is refused and what follows goes out as before. (Were it followed,
// every write would wait for the viewer's answer, and the worker, with lines to send, would
// wake for the writable socket again and again without end.)
TEST(LoggerSecureStream, AViewerAskingForANewHandshakeDoesNotStopTheWrites) {
  // Only TLS 1.2 and older have a renegotiation.
  SessionPair session(TLS1_2_VERSION);
  ASSERT_TRUE(session.handshake());
  ASSERT_EQ(SSL_renegotiate(session.viewer()), 1);
  SSL_do_handshake(session.viewer());  // sends the request; the answer is never read
  ERR_clear_error();
  EXPECT_NE(session.client().drain(), LoggerSecureStream::Result::failed);
  size_t written = 0;
  EXPECT_EQ(session.client().write("line", 4, &written), LoggerSecureStream::Result::done);
  EXPECT_EQ(written, 4u);
}

// What a viewer sends is read and dropped a bounded amount at a time, so a viewer that
// never stops sending cannot keep the worker in one read without end (unable to send, or
// to end at exit): after one drain, most of a large backlog is still waiting.
TEST(LoggerSecureStream, ADrainReadsABoundedAmount) {
  SessionPair session;
  ASSERT_TRUE(session.handshake());
  std::string block(16 * 1024, 'v');
  size_t sent = 0, n = 0;
  while (sent < 4 * 1024 * 1024 && SSL_write_ex(session.viewer(), block.data(), block.size(), &n) == 1) sent += n;
  ERR_clear_error();
  ASSERT_GE(sent, size_t{128 * 1024}) << "the socket pair holds too little for the test";
  EXPECT_EQ(session.client().drain(), LoggerSecureStream::Result::wantRead);
  pollfd waiting{session.clientFd(), POLLIN, 0};
  EXPECT_EQ(::poll(&waiting, 1, 0), 1) << "one drain read everything the viewer had sent";
}

// A viewer that sends without end gets its bytes read and dropped a bounded amount at a
// time: the worker still sends, and the process still exits (the exit handler ends the
// worker), over a plain stream and over TLS.
TEST(LoggerSecureStream, AViewerThatSendsWithoutEndDoesNotHoldUpTheExit) {
  std::atomic<bool> stop{false};
  {
    TestViewer viewer;
    viewer.listen();
    LoggerChild child({"host", std::to_string(viewer.port()), "-", "1000000", "3"});
    ASSERT_TRUE(viewer.accept(20));
    std::thread flood([&] {
      std::string block(64 * 1024, 'v');
      while (!stop.load() && ::send(viewer.connection(), block.data(), block.size(), MSG_NOSIGNAL) > 0) {
      }
    });
    EXPECT_EQ(child.finishWithin(60), 0) << "a plain viewer's flood held up the exit";
    stop = true;
    ::shutdown(viewer.connection(), SHUT_RDWR);
    flood.join();
  }
  stop = false;
  {
    TlsTestViewer viewer;
    ASSERT_TRUE(viewer.ready());
    LoggerChild child({"secure-host", std::to_string(viewer.port()), "-", "1000000", "3"});
    ASSERT_TRUE(viewer.accept(20));
    std::thread flood([&] { viewer.flood(stop); });
    EXPECT_EQ(child.finishWithin(60), 0) << "a TLS viewer's flood held up the exit";
    stop = true;
    flood.join();
  }
}

// A viewer that takes the connection and never answers the handshake is given up within the
// handshake's time limit; the lines wait in the buffer file and reach the next viewer. A
// handshake still waiting when the process ends does not hold up its exit.
TEST(LoggerSecureStream, ASilentViewerIsGivenUpAndDoesNotHoldUpTheExit) {
  TempDir dir;
  auto file = dir / "buffer.logger";
  TlsTestViewer viewer;
  ASSERT_TRUE(viewer.ready());
  {
    LoggerChild child({"secure-host", std::to_string(viewer.port()), file.string(), "1000000", "3"});
    bool gaveUp = false;
    // The limit is 10 s; the wait is generous for a loaded machine.
    EXPECT_EQ(viewer.acceptAndAnswer(60, "", &gaveUp), kTlsHandshakeRecord);
    EXPECT_TRUE(gaveUp) << "the client kept waiting for a silent viewer";
    ASSERT_TRUE(viewer.accept(30)) << "the client did not come back for a TLS session";
    EXPECT_TRUE(readsLines(viewer, 3));
    EXPECT_EQ(child.finish(), 0);
  }
  LoggerChild child({"secure-host", std::to_string(viewer.port()), "-", "1000000", "3"});
  ASSERT_TRUE(viewer.acceptAndHold(20));
  EXPECT_EQ(child.finishWithin(30), 0) << "a handshake in progress held up the exit";
}

}  // namespace
}  // namespace velbor::test
