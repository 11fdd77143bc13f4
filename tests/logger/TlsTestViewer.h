#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "LoggerTestSupport.h"
#include "TestCertificate.h"
#include "ViewerReader.h"

namespace velbor::test {

// A test viewer that speaks TLS as a server with a self-signed certificate, and can also
// misbehave in the handshake: break off in its middle, or answer with bytes that are no TLS.
class TlsTestViewer {
 public:
  // Listens at once, with a self-signed certificate of its own.
  TlsTestViewer() {
    context_ = SSL_CTX_new(TLS_server_method());
    ready_ = context_ && certificate_.valid() &&
             SSL_CTX_use_certificate_file(context_, certificate_.certificatePath().c_str(), SSL_FILETYPE_PEM) == 1 &&
             SSL_CTX_use_PrivateKey_file(context_, certificate_.keyPath().c_str(), SSL_FILETYPE_PEM) == 1;
    tcp_.listen();
  }
  ~TlsTestViewer() {
    closeConnection();
    SSL_CTX_free(context_);
  }
  TlsTestViewer(const TlsTestViewer&) = delete;
  TlsTestViewer& operator=(const TlsTestViewer&) = delete;

  bool ready() const { return ready_; }
  uint16_t port() const { return tcp_.port(); }

  // Accepts a client and completes the TLS handshake with it, waiting at most `seconds`.
  bool accept(int seconds) {
    if (!acceptTcp(seconds)) return false;
    ssl_ = SSL_new(context_);
    if (!ssl_ || SSL_set_fd(ssl_, conn_) != 1 || SSL_accept(ssl_) != 1) {
      ERR_clear_error();
      return false;
    }
    return true;
  }

  // Accepts a client, reads the start of its handshake and closes the connection. Returns
  // the first byte the client sent (0x16 for a TLS handshake record), or -1.
  int acceptAndBreakOffHandshake(int seconds) {
    if (!acceptTcp(seconds)) return -1;
    int first = readFirstByte(seconds);
    closeConnection();
    return first;
  }

  // Accepts a client, reads the start of its handshake and answers with `answer` (text that
  // is no TLS record; nothing: never answers). Returns the first byte the client sent, or -1;
  // true in `clientGaveUp` when the client then closed the connection within `seconds`.
  int acceptAndAnswer(int seconds, const std::string& answer, bool* clientGaveUp) {
    *clientGaveUp = false;
    if (!acceptTcp(seconds)) return -1;
    int first = readFirstByte(seconds);
    if (!answer.empty()) (void)!::send(conn_, answer.data(), answer.size(), MSG_NOSIGNAL);
    *clientGaveUp = clientClosesWithin(seconds);
    closeConnection();
    return first;
  }

  // Accepts a client and leaves it in the handshake until the viewer goes; false when no
  // client came within `seconds`.
  bool acceptAndHold(int seconds) { return acceptTcp(seconds) && readFirstByte(seconds) >= 0; }

  // Reads messages until `done` says so, the client closes, or `seconds` pass.
  template <typename Done>
  std::vector<ViewerMessage> readUntil(Done done, int seconds) {
    auto read = [this](char* buffer, size_t size) -> long {
      if (!ssl_) return -1;
      if (SSL_pending(ssl_) == 0) {
        pollfd p{conn_, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) return 0;
      }
      size_t n = 0;
      if (SSL_read_ex(ssl_, buffer, size, &n) == 1) return static_cast<long>(n);
      int error = SSL_get_error(ssl_, 0);
      ERR_clear_error();
      return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 0 : -1;
    };
    return readViewerMessagesUntil(read, done, seconds, malformed_);
  }
  bool malformed() const { return malformed_; }

  // Sends application data to the client until `stop` is set or the connection fails.
  void flood(const std::atomic<bool>& stop) {
    std::string block(64 * 1024, 'v');
    size_t n = 0;
    while (ssl_ && !stop.load() && SSL_write_ex(ssl_, block.data(), block.size(), &n) == 1) {
    }
    ERR_clear_error();
  }

 private:
  bool acceptTcp(int seconds) {
    closeConnection();
    pollfd p{tcp_.listener(), POLLIN, 0};
    if (::poll(&p, 1, seconds * 1000) <= 0) return false;
    conn_ = ::accept4(tcp_.listener(), nullptr, nullptr, SOCK_CLOEXEC);
    if (conn_ < 0) return false;
    // A stuck handshake or read fails instead of holding the test.
    timeval limit{seconds, 0};
    ::setsockopt(conn_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(conn_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return true;
  }

  bool clientClosesWithin(int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{conn_, POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      char scratch[512];
      if (::recv(conn_, scratch, sizeof scratch, 0) <= 0) return true;
    }
    return false;
  }

  int readFirstByte(int seconds) {
    pollfd p{conn_, POLLIN, 0};
    if (::poll(&p, 1, seconds * 1000) <= 0) return -1;
    unsigned char byte = 0;
    return ::recv(conn_, &byte, 1, 0) == 1 ? byte : -1;
  }

  void closeConnection() {
    if (ssl_) SSL_free(ssl_);
    ssl_ = nullptr;
    if (conn_ >= 0) ::close(conn_);
    conn_ = -1;
  }

  TestCertificate certificate_;
  TestViewer tcp_;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  int conn_ = -1;
  bool ready_ = false;
  bool malformed_ = false;
};

}  // namespace velbor::test
