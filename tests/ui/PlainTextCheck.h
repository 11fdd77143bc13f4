#pragma once

#include <QLabel>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "QStringPrinter.h"

namespace velbor::test {

// A name a hostile peer (or a folder on disk) may carry: Qt takes it for markup unless told
// otherwise, and would draw a bold word, or fetch an image, instead of the text.
inline QString markupName() { return QStringLiteral("<b>peer</b><img src=\"/nonexistent.png\">"); }

// The labels under `root` (itself included) that show `text` and would read it as markup.
inline QStringList labelsReadingMarkup(QWidget* root, const QString& text) {
  QList<QLabel*> labels = root->findChildren<QLabel*>();
  if (auto* self = qobject_cast<QLabel*>(root)) labels.prepend(self);
  QStringList found;
  for (QLabel* label : labels) {
    if (!label->text().contains(text)) continue;
    const bool markup = label->textFormat() == Qt::RichText ||
                        (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()));
    if (markup) found << (label->objectName().isEmpty() ? label->text() : label->objectName());
  }
  return found;
}

}  // namespace velbor::test
