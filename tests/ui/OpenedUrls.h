#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

namespace velbor::test {

// Takes what QDesktopServices would have opened, once set as the "file" URL handler.
class OpenedUrls : public QObject {
  Q_OBJECT

 public:
  QList<QUrl> urls;

 public slots:
  void open(const QUrl& url) { urls << url; }
};

}  // namespace velbor::test
