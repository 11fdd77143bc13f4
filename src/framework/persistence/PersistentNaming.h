#pragma once

#include <string>

namespace velbor {

// Name rules between classes and tables, properties and columns, and the text tests used
// when a TEXT column is read back into a number.
class PersistentNaming {
 public:
  PersistentNaming() = delete;

  // QoSyncdirCopy -> qo_syncdir_copy; userRank -> user_rank; sha1 -> sha_1.
  static std::string stringAsSQLColumnName(const std::string& name);
  static std::string tableNameForClassName(const std::string& className);
  // user_rank -> userRank; sha_1 -> sha1.
  static std::string stringAsPropertyString(const std::string& column);
  // qo_feedback -> QoFeedback.
  static std::string classNameForTableName(const std::string& tableName);

  static std::string stringByUppercasingFirstLetter(const std::string& text);
  static std::string stringByLowercasingFirstLetter(const std::string& text);

  // Digits and exactly one decimal separator, after trimming white space, dropping grouping
  // separators and a leading currency symbol of the current C locale.
  static bool holdsFloatingPointValue(const std::string& text);
  // Non-empty, and only decimal digits after trimming white space.
  static bool holdsIntegerValue(const std::string& text);
};

}  // namespace velbor
