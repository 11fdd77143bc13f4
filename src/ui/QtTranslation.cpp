#include "ui/QtTranslation.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "platform/QoLog.h"

namespace velbor {

QTranslator* QtTranslation::install() {
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  auto* translator = new QTranslator(QCoreApplication::instance());
  // "qtbase_zh_CN.qm" in Qt's translations folder.
  if (!translator->load(programLocale(), QStringLiteral("qtbase"), QStringLiteral("_"), folder) ||
      !QCoreApplication::installTranslator(translator)) {
    QoLog("*** Qt translation for {} not found in ({})", programLocale().name().toStdString(), folder.toStdString());
    delete translator;
    return nullptr;
  }
  return translator;
}

}  // namespace velbor
