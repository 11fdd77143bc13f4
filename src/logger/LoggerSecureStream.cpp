#include "logger/LoggerSecureStream.h"

#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace velbor {

namespace {

int socketOf(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

bool transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

int socketWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t n = ::send(socketOf(bio), data, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0 && transient(errno)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int socketRead(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  ssize_t n = ::recv(socketOf(bio), data, static_cast<size_t>(size), MSG_DONTWAIT);
  if (n < 0 && transient(errno)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

long socketCtrl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int socketCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// The socket BIO of the library writes with write(2), which raises SIGPIPE on a closed
// connection; this one sends with MSG_NOSIGNAL instead.
const BIO_METHOD* socketMethod() {
  struct Method {
    BIO_METHOD* method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "velbor logger socket");
    Method() {
      if (!method) return;
      BIO_meth_set_write(method, socketWrite);
      BIO_meth_set_read(method, socketRead);
      BIO_meth_set_ctrl(method, socketCtrl);
      BIO_meth_set_create(method, socketCreate);
    }
    ~Method() { BIO_meth_free(method); }
  };
  // Never destroyed: the log client may still write during exit.
  static Method& instance = *new Method();
  return instance.method;
}

}  // namespace

void LoggerSecureStream::prepareLibrary() {
  OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
  socketMethod();
}

std::unique_ptr<LoggerSecureStream> LoggerSecureStream::create(int fd) {
  ERR_clear_error();
  const BIO_METHOD* method = socketMethod();
  SSL_CTX* context = method ? SSL_CTX_new(TLS_client_method()) : nullptr;
  if (!context) return nullptr;
  SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  SSL* ssl = SSL_new(context);
  BIO* bio = ssl ? BIO_new(method) : nullptr;
  if (!bio) {
    SSL_free(ssl);
    SSL_CTX_free(context);
    ERR_clear_error();
    return nullptr;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  SSL_set_bio(ssl, bio, bio);
  // Partial writes keep the send accounting per byte; the send buffer may move between tries.
  SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A new handshake asked for by the viewer is refused: followed, every write would wait for
  // the viewer's answer while the socket stays writable, and the worker would spin on it.
  SSL_set_options(ssl, SSL_OP_NO_RENEGOTIATION);
  SSL_set_connect_state(ssl);
  return std::unique_ptr<LoggerSecureStream>(new LoggerSecureStream(context, ssl));
}

LoggerSecureStream::~LoggerSecureStream() {
  SSL_free(ssl_);
  SSL_CTX_free(context_);
}

LoggerSecureStream::Result LoggerSecureStream::outcome(int ret) {
  int error = SSL_get_error(ssl_, ret);
  // The thread's error queue is left empty for whatever else uses the library on it.
  ERR_clear_error();
  if (error == SSL_ERROR_WANT_READ) return Result::wantRead;
  if (error == SSL_ERROR_WANT_WRITE) return Result::wantWrite;
  return Result::failed;
}

LoggerSecureStream::Result LoggerSecureStream::handshake() {
  ERR_clear_error();
  int ret = SSL_do_handshake(ssl_);
  return ret == 1 ? Result::done : outcome(ret);
}

LoggerSecureStream::Result LoggerSecureStream::write(const char* bytes, size_t size, size_t* written) {
  *written = 0;
  if (size == 0) return Result::done;
  ERR_clear_error();
  size_t done = 0;
  int ret = SSL_write_ex(ssl_, bytes, size > INT_MAX ? INT_MAX : size, &done);
  if (ret != 1) return outcome(ret);
  *written = done;
  return Result::done;
}

LoggerSecureStream::Result LoggerSecureStream::drain() {
  char scratch[512];
  // A viewer that never stops sending must not keep the worker here: the rest waits for the
  // next readable socket.
  for (size_t read = 0; read < kDrainLimit;) {
    ERR_clear_error();
    size_t n = 0;
    int ret = SSL_read_ex(ssl_, scratch, sizeof scratch, &n);
    if (ret == 1) {
      read += n;
      continue;
    }
    Result result = outcome(ret);
    // A write the session owes (a key update) is made by the next write.
    return result == Result::wantWrite ? Result::wantRead : result;
  }
  return Result::wantRead;
}

void LoggerSecureStream::shutdown() {
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

}  // namespace velbor
