#pragma once

#include <QCheckBox>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "ui/SelectableToolbarItem.h"

namespace velbor {

class DeviceDisplayRecord;
class DeviceView;
class QoDevice;
class TrustWait;

// The device pane: one card per remote device, the filter, and the user's side of the
// trust exchange (ask, agree, refuse, cancel, withdraw) with its waits.
//
// Threads: engine notices arrive on the "notify" queue and are only handed to the main
// thread there; requests to devices and status writes run on the global queue; records,
// cards and waits change on the main thread only, and waits tick on its timer.
class QoDeviceController : public QWidget, public SelectableToolbarItemDelegate {
  Q_OBJECT

 public:
  using RecordPtr = std::shared_ptr<DeviceDisplayRecord>;
  using DevicePtr = std::shared_ptr<QoDevice>;
  using Devices = std::vector<DevicePtr>;

  // Ticks of an incoming wait when the offer's time-out is too short to read.
  static constexpr int kShortIncomingTicks = 15;
  // How long a trust request waits for discovery to find a device that is no longer stored.
  static constexpr int kDiscoveryAnswerMs = 5000;

  explicit QoDeviceController(QWidget* parent = nullptr);
  ~QoDeviceController() override;

  // Once settings and database are open: the wait length, the devices, the filter.
  void awakeFromNib();

  // ---- the list (main thread) ----
  void loadDevices();
  void addItems(const Devices& devices);
  void removeItems(const Devices& devices);
  void addItemWithdevice(const DevicePtr& device);
  void removeItem(const RecordPtr& record, const DevicePtr& device);
  void updateItem(const RecordPtr& record, const DevicePtr& device);
  void deviceSorted();
  // Whether `a` goes before `b`.
  static bool sortComparator(const RecordPtr& a, const RecordPtr& b);
  void segmentSelect();
  void itemDidClick(SelectableToolbarItem* item) override;

  // ---- card actions (main thread) ----
  void itemTrustButtonClick(const RecordPtr& record);
  void itemCancelButtonClick(const RecordPtr& record);
  void itemAgreeButtonClick(const RecordPtr& record);
  void itemDisAgreeButtonClick(const RecordPtr& record);
  void itemDisTrustButtonClick(const RecordPtr&) {}

  // ---- results of an exchange (main thread) ----
  void timeout(const RecordPtr& record, const DevicePtr& device);
  void refusedByRemote(const RecordPtr& record, const DevicePtr& device);
  void cancelByRemote(const RecordPtr& record, const DevicePtr& device);
  void authByRemote(const RecordPtr& record, const DevicePtr& device);
  void distrustByRemote(const RecordPtr& record, const DevicePtr& device);

  // The withdraw-trust alert, shown as a sheet; its answer (1: confirmed).
  void _itemDisTrust(const RecordPtr& record);
  void _distrust(const RecordPtr& record, int returnCode);

  // Ticks of the wait for an offer received with `timeout` seconds: never more than this
  // device's own outgoing wait (and never below the short wait), whatever a peer sends.
  static int incomingWaitTicks(int32_t timeout, float waitTrustTimeout);

  std::vector<RecordPtr> items() const;
  RecordPtr recordFor(const std::string& uuid) const;
  DeviceView* viewFor(const RecordPtr& record) const;
  QCheckBox* segmentedControl() const { return segmentedControl_; }
  float waitTrustTimeout() const { return waitTrustTimeout_; }
  bool isWaiting(const std::string& uuid) const;
  // Whether a trust request waits for discovery to store the device again.
  bool isAwaitingDiscovery(const std::string& uuid) const { return awaitingDiscovery_.count(uuid) != 0; }

 private:
  void observeNotices();
  void setItems(std::vector<RecordPtr> items);
  void layoutCards();
  DeviceView* makeView(const RecordPtr& record);
  void startWait(const RecordPtr& record, int32_t status, int ticks);
  void stopWait(const std::string& uuid);
  // Runs `work` on the global queue, logging what it raises under `failure`.
  // The job must not touch the pane but through a guarded pointer (onMain): the pane may go
  // away while it runs.
  static void background(const char* failure, std::function<void()> work);
  // The same for a job of one card that writes the device's status: a write the database
  // refused shows on the card (kNotSavedText, then the stored state), never the status meant.
  static void cardJob(const char* failure, QPointer<QoDeviceController> self, const RecordPtr& record,
                      const std::string& uuid, std::function<void()> work);
  // Runs `work` on the main thread if the pane still exists then.
  static void onMain(QPointer<QoDeviceController> self, std::function<void(QoDeviceController&)> work);
  // Moves the stored status from one of `from` to `to`, then shows `label` for a second
  // before the card shows the device's new state.
  void finishExchange(const RecordPtr& record, std::vector<int32_t> from, int32_t to, const QString& label);
  // A device no longer trusted: an offline one loses its card, an online one shows its state.
  void showUntrusted(const RecordPtr& record, const DevicePtr& device);
  RecordPtr checkedRecord(const std::string& uuid) const;
  // A trust request for a device that ending a trust removed (on both sides): discovery
  // announces this device and stores the other again, then the request goes; when no answer
  // comes, the user is told why nothing was sent.
  void offerAfterDiscovery(const RecordPtr& record);
  // Ends the wait for discovery; true when there was one.
  bool stopAwaitingDiscovery(const std::string& uuid);
  void tellNoTrustRequest(const RecordPtr& record);

  QPointer<QoDeviceController> self_;
  QCheckBox* segmentedControl_;
  QWidget* collectView_;
  QVBoxLayout* cardsLayout_;
  mutable std::recursive_mutex itemsLock_;
  std::vector<RecordPtr> items_;
  mutable std::recursive_mutex mapLock_;
  std::map<std::string, RecordPtr> itemsMap_;
  std::map<DeviceDisplayRecord*, DeviceView*> views_;
  std::map<std::string, TrustWait*> waits_;
  std::map<std::string, QTimer*> awaitingDiscovery_;
  float waitTrustTimeout_ = 30.0f;
  std::vector<NotificationCenter::Token> observers_;
};

}  // namespace velbor
