#pragma once

#include "framework/errors/QoException.h"

namespace velbor {

// One subclass per ErrorCode value. Each reports its own code whatever code was stored,
// so a raiser picks the code by picking the class:
//   throw QoExceptionZeNoent::defaultExceptionWithReason("no device {}", uuid);
#define VELBOR_DECLARE_QO_EXCEPTION(ClassName, Code)                                                   \
  class ClassName : public QoException {                                                               \
   public:                                                                                             \
    static constexpr int kCode = Code;                                                                 \
    explicit ClassName(std::string reason = "", int storedCode = 1)                                    \
        : QoException(#ClassName, std::move(reason), storedCode) {}                                    \
    template <typename... Args>                                                                        \
    static ClassName exceptionWithCode(int code, fmt::format_string<Args...> format, Args&&... args) { \
      return ClassName(fmt::format(format, std::forward<Args>(args)...), code);                        \
    }                                                                                                  \
    template <typename... Args>                                                                        \
    static ClassName defaultExceptionWithReason(fmt::format_string<Args...> format, Args&&... args) {  \
      return ClassName(fmt::format(format, std::forward<Args>(args)...), 1);                           \
    }                                                                                                  \
    static ClassName defaultException() { return ClassName("", 1); }                                   \
    int code() const override { return kCode; }                                                        \
  };

VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeSuccess, 0)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeGeneral, 1)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeBadMsgcode, 2)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeBadDevice, 3)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeBadFormat, 4)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeBadTree, 5)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeVclockMismatch, 6)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeBadSyncdir, 7)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeSqlite, 8)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeExist, 9)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeNoent, 10)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeBadUuid, 11)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZePeerError, 12)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeSyncdirMismatch, 13)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeBadPath, 14)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeBadPart, 15)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeNestedTree, 16)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeSyncWithSelf, 17)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeSyncNoempty, 18)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeOperateTimeout, 19)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZePermissionDeny, 20)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeUntrusted, 21)
VELBOR_DECLARE_QO_EXCEPTION(QoExceptionZeMsgTampering, 22)

#undef VELBOR_DECLARE_QO_EXCEPTION

}  // namespace velbor
