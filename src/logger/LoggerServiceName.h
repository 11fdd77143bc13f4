#pragma once

#include <string>
#include <string_view>

namespace velbor {

// Service names compare ignoring case and diacritics, so a viewer published as "Résumé"
// is the one configured as "resume".
std::string LoggerFoldServiceName(std::string_view name);
bool LoggerServiceNameMatches(std::string_view found, std::string_view configured);

}  // namespace velbor
