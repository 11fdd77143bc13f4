#pragma once

#include <string>
#include <utility>

#include <fmt/format.h>

#include "platform/Exception.h"

namespace velbor {

// A failure that travels to another device as a numbered error. The code equals the wire
// enum ErrorCode; each subclass fixes its code, the base reports the code it was made with.
class QoException : public Exception {
 public:
  explicit QoException(std::string reason = "", int code = 1) : QoException("QoException", std::move(reason), code) {}
  ~QoException() override;

  // Base class only: carries a code known only at run time.
  template <typename... Args>
  static QoException exceptionWithCode(int code, fmt::format_string<Args...> format, Args&&... args) {
    return QoException(fmt::format(format, std::forward<Args>(args)...), code);
  }
  template <typename... Args>
  static QoException defaultExceptionWithReason(fmt::format_string<Args...> format, Args&&... args) {
    return QoException(fmt::format(format, std::forward<Args>(args)...), 1);
  }
  static QoException defaultException() { return QoException("", 1); }
  // A failure named by its text rather than by a class ("Address already in use",
  // "Permission denied"), so that any code can raise it and callers can test name().
  static QoException exceptionWithName(std::string name, std::string reason, int code = 1) {
    return QoException(std::move(name), std::move(reason), code);
  }

  int getCode() const { return code(); }
  virtual int code() const { return code_; }
  void setCode(int code) { code_ = code; }
  // "<class name>: <reason>", the text sent back in an error reply.
  std::string description() const { return name() + ": " + reason(); }

 protected:
  QoException(std::string name, std::string reason, int code)
      : Exception(std::move(name), std::move(reason)), code_(code) {}

 private:
  int code_;
};

}  // namespace velbor
