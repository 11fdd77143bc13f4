#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velbor {

namespace pb {
class MsgError;
class Stat;
}  // namespace pb

// The single table of message codes and names, read from the schema's MsgCode enum. From a
// code's name follow its body type ("Msg" + name), its request handler and its reply
// notification. Filled once, then only read, from any thread, without a lock.
class QoPbMessageCode {
 public:
  static QoPbMessageCode& sharedQoPbMessageCode();

  QoPbMessageCode(const QoPbMessageCode&) = delete;
  QoPbMessageCode& operator=(const QoPbMessageCode&) = delete;

  // 119.
  size_t getMessageCount() const;
  // The message name of the code ("GetRequest" for 6); nullopt for a code without an entry.
  std::optional<std::string> getMessageByCode(int32_t code) const;
  // The body type name of the code ("MsgGetRequest" for 6), whether or not the schema has a
  // type of that name (PbMessage::bodyTypeForName tells); nullopt for a code without an entry.
  std::optional<std::string> getMessageClassStringByCode(int32_t code) const;
  // The code of a message name; nullopt for a name that is not in the table.
  std::optional<int32_t> getCodeByMessage(std::string_view name) const;

 private:
  QoPbMessageCode();

  std::unordered_map<int32_t, std::string> _messageMapping;
  std::unordered_map<std::string, int32_t> _codeMapping;
};

// The fixed English text of an error code ("Exist" for 9); nullopt outside 0-22.
std::optional<std::string> getErrorString(int32_t errcode);
std::optional<std::string> getErrorString(const pb::MsgError& error);

// The text of a Stat in log lines:
// "file(f o 3a4b5c /a/b) usn(7) mtime(1000) attr(u420-w0-a0) length(12)".
std::string description(const pb::Stat& stat);

}  // namespace velbor
