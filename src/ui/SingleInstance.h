#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace velbor {

// One application per settings folder: a second launch finds the first through a local
// socket, asks it to bring its window forward, and ends instead of starting a second engine
// on the same ports.
class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // `key` names the instance (the settings folder).
  explicit SingleInstance(const QString& key, QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when another instance answered (and was asked to show itself); otherwise this one
  // starts listening and is the instance.
  bool notifyRunning();
  // For a relaunch: waits (at most `ms`) until the instance that started this one has ended
  // and let go of its ports; true once no instance answers.
  bool waitForPreviousToEnd(int ms);

 signals:
  void reopenRequested();

 private:
  QString name_;
  QLocalServer server_;
};

}  // namespace velbor
