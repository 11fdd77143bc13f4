#pragma once

#include <cstddef>
#include <memory>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace velbor {

// The TLS client side of a connection to a viewer, over a connected non-blocking socket
// that stays the caller's. The protocol version is negotiated; the viewer's certificate
// chain and name are not checked (viewers present self-signed certificates), and a new
// handshake asked for by the viewer is refused. The socket is
// written with MSG_NOSIGNAL, so a viewer that goes away never raises SIGPIPE.
class LoggerSecureStream {
 public:
  enum class Result { done, wantRead, wantWrite, failed };

  // Sets up the TLS library and what sessions share. Made before the logger's exit handler
  // is installed, so that their own clean-up at exit comes after that handler.
  static void prepareLibrary();
  // Nothing when the session cannot be set up.
  static std::unique_ptr<LoggerSecureStream> create(int fd);
  ~LoggerSecureStream();
  LoggerSecureStream(const LoggerSecureStream&) = delete;
  LoggerSecureStream& operator=(const LoggerSecureStream&) = delete;

  // One step of the handshake; done once the session is up.
  Result handshake();
  // Writes from `bytes`; done with `*written` > 0 when some went out. After wantRead or
  // wantWrite the same bytes must be offered again (at least as many of them).
  Result write(const char* bytes, size_t size, size_t* written);
  // Reads and drops what the viewer sent, at most kDrainLimit bytes; failed when it closed
  // or broke the session.
  Result drain();
  static constexpr size_t kDrainLimit = 64 * 1024;
  // Tells the viewer the session ends, without waiting for its answer.
  void shutdown();

 private:
  LoggerSecureStream(SSL_CTX* context, SSL* ssl) : context_(context), ssl_(ssl) {}
  Result outcome(int ret);

  SSL_CTX* context_;
  SSL* ssl_;
};

}  // namespace velbor
