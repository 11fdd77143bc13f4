#pragma once

#include <QLocale>

class QTranslator;

namespace velbor {

// Qt's own texts (file dialog, standard buttons, context menus) in the program's language,
// from the translations Qt installs beside itself.
class QtTranslation {
 public:
  QtTranslation() = delete;

  // The language every window of the program speaks.
  static QLocale programLocale() { return QLocale(QLocale::Chinese, QLocale::SimplifiedChineseScript, QLocale::China); }

  // Loads Qt's base translation for the program's language into the running application.
  // Answers the installed translator (owned by the application), or nullptr when Qt's
  // translations are not installed: Qt's texts then stay in English.
  static QTranslator* install();
};

}  // namespace velbor
