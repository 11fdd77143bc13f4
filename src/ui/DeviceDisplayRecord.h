#pragma once

#include <QObject>
#include <QPixmap>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace velbor {

class QoDevice;

// What one device card shows, kept per device by the device pane: the device and the
// values its card's controls are bound to. Changed only on the main thread; every change
// is announced by changed(), so the card follows its record.
class DeviceDisplayRecord : public QObject {
  Q_OBJECT

 public:
  using DevicePtr = std::shared_ptr<QoDevice>;

  // The values as they are now.
  struct Values {
    DevicePtr device;
    QPixmap deviceIcon;
    // "available", "partiallyAvailable", "unavailable", "none", or empty for no image.
    QString statusIcon;
    bool trustButtonDisplay = false;
    QString bTitle = "nothing";
    QString labelTitle = "nothing";
    int waitInfoValue = 0;
    int waitInfoMaxValue = 0;
    bool waitInfoDisplay = false;
    bool waitAuthDisplay = false;
    bool waitAgreeDisplay = false;
    // Absent counts as shown.
    std::optional<bool> deviceDisplay;
    QString tooltip;
    // The state text of the tool tip ("信任", "离线", ...).
    QString statusText;
  };

  static constexpr int kDeviceIconSize = 40;

  DeviceDisplayRecord() = default;

  Values values() const;
  DevicePtr getDevice() const;
  int getWaitAuthTimeoutValue() const;
  bool isDeviceDisplay() const;

  // A null device or a null title is ignored.
  void setDevice(DevicePtr device);
  void setLabelTitle(const QString& title);
  void setDeviceDisplay(bool display);
  void setWaitInfoMaxValue(int value);
  void setWaitInfoValue(int value);
  // Derives every shown value from the device, its status and whether it is online;
  // resets the wait's progress. The filter's segment 0 is read afresh each time.
  void updateValues();

 signals:
  void changed();

 private:
  // Stores one value under the lock, then tells the card (outside the lock).
  template <class Field, class Value>
  void assign(Field Values::*field, Value value) {
    {
      std::lock_guard<std::recursive_mutex> lock(lock_);
      values_.*field = std::move(value);
    }
    emit changed();
  }

  mutable std::recursive_mutex lock_;
  Values values_;
};

}  // namespace velbor
