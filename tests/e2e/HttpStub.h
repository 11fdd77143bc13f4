#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velbor::test {

// A minimal HTTP service on 127.0.0.1 inside a named network namespace, so that a device
// in that namespace can reach it. Every GET is answered 200 with `reply` as a JSON body,
// and its target is recorded. Stopped and closed by the destructor.
class HttpStub {
 public:
  HttpStub(const std::string& netns, std::string reply);
  ~HttpStub();
  HttpStub(const HttpStub&) = delete;
  HttpStub& operator=(const HttpStub&) = delete;

  bool ready() const { return listener_ >= 0; }
  // http://127.0.0.1:<port>, as seen from inside the namespace.
  std::string url() const;
  // The request targets seen so far, in order.
  std::vector<std::string> targets() const;

 private:
  void serve();
  void answer(int connection);

  std::string reply_;
  int listener_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
};

}  // namespace velbor::test
