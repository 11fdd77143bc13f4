#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace velbor {

// SIGINT and SIGTERM (blocked in every thread beforehand) read from a signalfd on the main
// loop, so that a termination request quits the application in order: windows closed,
// engine stopped.
class TerminationNotifier : public QObject {
  Q_OBJECT

 public:
  explicit TerminationNotifier(QObject* parent = nullptr);
  ~TerminationNotifier() override;

 signals:
  void terminationRequested(int signal);

 private:
  int fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace velbor
