#include "framework/persistence/PersistentNaming.h"

#include <cctype>
#include <clocale>

namespace velbor {
namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string trimmed(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

void removeAll(std::string& text, const std::string& part) {
  if (part.empty()) return;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at)) text.erase(at, part.size());
}

}  // namespace

std::string PersistentNaming::stringAsSQLColumnName(const std::string& name) {
  std::string column;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    // A character equal to its own upper-case form (capitals, digits, "_") starts a word.
    if (i > 0 && c == upper(c)) {
      column += '_';
    }
    column += lower(c);
  }
  return column;
}

std::string PersistentNaming::tableNameForClassName(const std::string& className) {
  return stringAsSQLColumnName(className);
}

std::string PersistentNaming::stringAsPropertyString(const std::string& column) {
  std::string property;
  bool raiseNext = false;
  for (char c : column) {
    if (c == '_') {
      raiseNext = true;
      continue;
    }
    property += raiseNext ? upper(c) : c;
    raiseNext = false;
  }
  return property;
}

std::string PersistentNaming::classNameForTableName(const std::string& tableName) {
  std::string className;
  bool raiseNext = true;
  for (char c : tableName) {
    if (c == '_') {
      raiseNext = true;
      continue;
    }
    className += raiseNext ? upper(c) : c;
    raiseNext = false;
  }
  return className;
}

std::string PersistentNaming::stringByUppercasingFirstLetter(const std::string& text) {
  std::string result = text;
  if (!result.empty()) result[0] = upper(result[0]);
  return result;
}

std::string PersistentNaming::stringByLowercasingFirstLetter(const std::string& text) {
  std::string result = text;
  if (!result.empty()) result[0] = lower(result[0]);
  return result;
}

bool PersistentNaming::holdsFloatingPointValue(const std::string& text) {
  if (text.empty()) return false;
  const std::lconv* conventions = std::localeconv();
  const std::string decimal = conventions->decimal_point != nullptr ? conventions->decimal_point : ".";
  const std::string grouping = conventions->thousands_sep != nullptr ? conventions->thousands_sep : "";
  const std::string currency = conventions->currency_symbol != nullptr ? conventions->currency_symbol : "";

  std::string value = trimmed(text);
  removeAll(value, grouping);
  if (!currency.empty() && value.compare(0, currency.size(), currency) == 0) {
    value = trimmed(value.substr(1));
  }
  const char separator = decimal.empty() ? '.' : decimal[0];
  int separators = 0;
  for (char c : value) {
    if (c == separator) {
      ++separators;
    } else if (!isDigit(c)) {
      return false;
    }
  }
  return separators == 1;
}

bool PersistentNaming::holdsIntegerValue(const std::string& text) {
  if (text.empty()) return false;
  for (char c : trimmed(text)) {
    if (!isDigit(c)) return false;
  }
  return true;
}

}  // namespace velbor
