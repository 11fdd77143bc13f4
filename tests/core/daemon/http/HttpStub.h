#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace velbor::test {

// A tiny HTTP service on loopback, run by the test: each request gets the status and body set
// now (or, while silent, no answer until the stub goes), and its request target is recorded.
class HttpStub {
 public:
  HttpStub();
  ~HttpStub();
  HttpStub(const HttpStub&) = delete;
  HttpStub& operator=(const HttpStub&) = delete;

  // "http://127.0.0.1:<port>".
  const std::string& baseURL() const { return baseURL_; }
  void answer(int status, std::string body);
  void beSilent();
  // The request targets received so far ("/check_status/..."), in order.
  std::vector<std::string> targets() const;

 private:
  void serve();
  void handle(int connection);

  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::string baseURL_;
  mutable std::mutex lock_;
  int status_ = 200;
  std::string body_ = "{\"errCode\":0}";
  bool silent_ = false;
  std::vector<std::string> targets_;
  std::thread thread_;
};

}  // namespace velbor::test
