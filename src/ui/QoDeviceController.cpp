#include "ui/QoDeviceController.h"

#include <QLabel>
#include <QMessageBox>
#include <QScrollArea>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <thread>

#include "core/daemon/client/QoClient.h"
#include "core/daemon/discovery/QoDiscovery.h"
#include "core/entity/QoDevice.h"
#include "core/proto/QoPbMessageCode.h"
#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "core/state/TrustInfo.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoExceptionProto.h"
#include "platform/Dispatch.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"
#include "ui/DeviceDisplayRecord.h"
#include "ui/DeviceStatusWriter.h"
#include "ui/DeviceView.h"
#include "ui/MainThread.h"
#include "ui/QoUserNotification.h"
#include "ui/TrustWait.h"

namespace velbor {

namespace {

constexpr int32_t kUntrusted = 0;
constexpr int32_t kTrusted = 1;
constexpr int32_t kWaitingForPeer = 2;
constexpr int32_t kPeerAsks = 3;
constexpr int kResultPauseMs = 1000;
// A card's status write the database refused.
constexpr const char* kNotSavedText = "信任状态保存失败！";
constexpr int kDistrustConfirmed = 1;

// Lower goes first: a device that asks for trust, then trusted ones, then the rest.
int statusRank(int32_t status) {
  switch (status) {
    case 3:
      return 1;
    case 1:
      return 2;
    case 0:
    case 2:
      return 3;
    default:
      return 4;
  }
}

// -1 when a goes first, 1 when b does, 0 when they are equal.
int compareRecords(const DeviceDisplayRecord& a, const DeviceDisplayRecord& b) {
  const bool shownA = a.isDeviceDisplay();
  const bool shownB = b.isDeviceDisplay();
  if (shownA != shownB) return shownA ? -1 : 1;
  if (!shownA) return 0;
  const auto deviceA = a.getDevice();
  const auto deviceB = b.getDevice();
  if (!deviceA || !deviceB) return 0;
  if (deviceA->isOnline() != deviceB->isOnline()) return deviceA->isOnline() ? -1 : 1;
  if (!deviceA->isOnline()) return 0;
  if (deviceA->status() != deviceB->status()) {
    const int rankA = statusRank(deviceA->status());
    const int rankB = statusRank(deviceB->status());
    return rankA < rankB ? -1 : (rankA > rankB ? 1 : 0);
  }
  const int names = deviceA->name().compare(deviceB->name());
  return names < 0 ? -1 : (names > 0 ? 1 : 0);
}

std::string errorText(const QoMessage::Ptr& reply) {
  if (!reply) return "no reply";
  if (auto error = reply->pbBodyAs<pb::MsgError>()) {
    return fmt::format("{}: {}", getErrorString(*error).value_or("Unknown"), error->errstr());
  }
  return fmt::format("reply code {}", reply->code());
}

}  // namespace

QoDeviceController::QoDeviceController(QWidget* parent)
    : QWidget(parent),
      self_(this),
      segmentedControl_(new QCheckBox("显示不信任和离线的设备", this)),
      collectView_(new QWidget()),
      cardsLayout_(new QVBoxLayout(collectView_)) {
  setObjectName("deviceController");
  segmentedControl_->setObjectName("segmentedControl");
  segmentedControl_->setChecked(true);
  collectView_->setObjectName("collectView");
  cardsLayout_->setContentsMargins(12, 12, 12, 12);
  cardsLayout_->setSpacing(8);
  cardsLayout_->addStretch(1);
  auto* scroll = new QScrollArea(this);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidget(collectView_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 8, 0, 0);
  layout->addWidget(segmentedControl_, 0, Qt::AlignHCenter);
  layout->addWidget(scroll, 1);
  resize(640, 420);
  observeNotices();
}

QoDeviceController::~QoDeviceController() {
  for (const auto& token : observers_) NotificationCenter::defaultCenter().removeObserver(token);
  for (auto& [uuid, wait] : waits_) wait->stop();
}

void QoDeviceController::observeNotices() {
  // Each observer only hands the notice to the main thread: the "notify" queue never waits
  // for this pane. The pane may be gone by the time the work runs.
  auto forward = [this]<class Notice>(std::function<void(QoDeviceController&, const Notice&)> handler) {
    QPointer<QoDeviceController> self = self_;
    observers_.push_back(QoNotices::observe<Notice>([self, handler](const Notice& notice) {
      MainThread::async([self, handler, notice] {
        if (self) handler(*self, notice);
      });
    }));
  };
  forward.operator()<notice::DeviceAddResponse>([](QoDeviceController& pane, const notice::DeviceAddResponse& n) {
    if (!n.devices.empty()) pane.addItems(n.devices);
  });
  forward.operator()<notice::DeviceOffLine>([](QoDeviceController& pane, const notice::DeviceOffLine& n) {
    if (!n.devices.empty()) pane.removeItems(n.devices);
  });
  // The reply to this device's own offer only says the peer has it; the wait goes on.
  observers_.push_back(QoNotices::observe<notice::TrustPublishRequest>([](const notice::TrustPublishRequest& n) {
    try {
      QoAssert(n.reply != nullptr, "reponse is nil");
      if (n.reply->code() == pb::MsgCodeTrustPublishResponse) return;
      if (n.reply->code() == 0) throw std::runtime_error(errorText(n.reply));
      QoAssert(false, "reponse code is illegal");
    } catch (const std::exception& e) {
      QoLog("*** handle TrustPublishResponse failed, {}", e.what());
    }
  }));
  forward.operator()<notice::TrustPublishResponse>([](QoDeviceController& pane, const notice::TrustPublishResponse& n) {
    try {
      QoAssert(n.info != nullptr, "trustInfo can not be nil");
      const RecordPtr record = pane.checkedRecord(n.info->deviceUuid);
      const DevicePtr device = record->getDevice();
      if (device->status() == kPeerAsks || device->status() == kWaitingForPeer) return;
      // An offer from a device this one trusts is not shown: waiting on it would end the
      // trust when the wait runs out. A device that really ended it is found out by the
      // status check, and its next offer finds it untrusted.
      if (device->status() == kTrusted) return;
      QoUserNotification::sharedQoUserNotification().showNotification(
          QString("设备\"%1\"").arg(QString::fromStdString(device->name())), "请求您的信任", "");
      const int ticks = incomingWaitTicks(n.info->timeout, pane.waitTrustTimeout_);
      // The card waits at once; the stored status follows on the global queue.
      auto asking = std::make_shared<QoDevice>(*device);
      asking->setStatus(kPeerAsks);
      record->setDevice(asking);
      record->setWaitInfoMaxValue(ticks);
      record->updateValues();
      pane.startWait(record, kPeerAsks, ticks);
      pane.deviceSorted();
      cardJob("*** handle TrustInitiateResponse failed, {}", &pane, record, device->uuid(), [record, device] {
        if (DeviceStatusWriter::change(device->uuid(), {kUntrusted}, kPeerAsks)) return;
        // Something else moved it meanwhile: show what is stored.
        const DevicePtr stored = DeviceStatusWriter::current(device, kUntrusted);
        MainThread::async([record, stored] {
          record->setDevice(stored);
          record->updateValues();
        });
      });
    } catch (const std::exception& e) {
      QoLog("*** handle TrustInitiateResponse failed, {}", e.what());
    }
  });
  // A peer's answer to an exchange: the card's record by the answering device's uuid.
  using Result = void (QoDeviceController::*)(const RecordPtr&, const DevicePtr&);
  auto answer = [&forward]<class Notice>(const char* failure, Result result) {
    forward.template operator()<Notice>([failure, result](QoDeviceController& pane, const Notice& n) {
      try {
        QoAssert(n.info != nullptr, "trustInfo can not be nil");
        const RecordPtr record = pane.checkedRecord(n.info->deviceUuid);
        (pane.*result)(record, record->getDevice());
      } catch (const std::exception& e) {
        QoLog(fmt::runtime(failure), e.what());
      }
    });
  };
  answer.operator()<notice::TrustResponse>("*** handle TrustAnswerAgreeResponse failed, {}",
                                           &QoDeviceController::authByRemote);
  answer.operator()<notice::TrustDenyResponse>("*** handle TrustAnswerDisagreeResponse failed, {}",
                                               &QoDeviceController::refusedByRemote);
  answer.operator()<notice::TrustCancelResponse>("*** handle TrustCancelResponse failed, {}",
                                                 &QoDeviceController::cancelByRemote);
  forward.operator()<notice::DistrustResponse>([](QoDeviceController& pane, const notice::DistrustResponse& n) {
    try {
      QoAssert(n.device != nullptr, "request can not be nil");
      const RecordPtr record = pane.checkedRecord(n.device->uuid());
      pane.distrustByRemote(record, record->getDevice());
    } catch (const std::exception& e) {
      QoLog("*** handle DistrustResponse failed, {}", e.what());
    }
  });
}

QoDeviceController::RecordPtr QoDeviceController::checkedRecord(const std::string& uuid) const {
  const RecordPtr record = recordFor(uuid);
  QoAssert(record != nullptr, "dict is nil for {}", uuid);
  QoAssert(record->getDevice() != nullptr, "device is nil for {}", uuid);
  return record;
}

void QoDeviceController::awakeFromNib() {
  waitTrustTimeout_ = static_cast<float>(QoConfig::sharedQoConfig().trustAuthTimeOut()) * 3.0f;
  loadDevices();
  DataSource& dataSource = DataSource::sharedDataSource();
  if (dataSource.isSegmentControlInited()) {
    segmentedControl_->setChecked(dataSource.getSegmentControl(0));
  } else {
    dataSource.setSegmentControl(0, segmentedControl_->isChecked());
  }
  connect(segmentedControl_, &QCheckBox::toggled, this, &QoDeviceController::segmentSelect, Qt::UniqueConnection);
}

int QoDeviceController::incomingWaitTicks(int32_t timeout, float waitTrustTimeout) {
  const float asked = timeout < 5 ? static_cast<float>(kShortIncomingTicks) : static_cast<float>(timeout) * 3.0f;
  const float limit = std::max(static_cast<float>(kShortIncomingTicks), waitTrustTimeout);
  return static_cast<int>(std::floor(std::min(asked, limit)));
}

// ---- the list ----

void QoDeviceController::loadDevices() {
  background("*** {}", [self = self_] {
    const Devices devices = QoDevice::getDeviceRemote();
    MainThread::async([self, devices] {
      if (!self) return;
      std::vector<RecordPtr> items;
      {
        std::lock_guard<std::recursive_mutex> lock(self->mapLock_);
        self->itemsMap_.clear();
        for (const DevicePtr& device : devices) {
          auto record = std::make_shared<DeviceDisplayRecord>();
          self->updateItem(record, device);
          self->itemsMap_[device->uuid()] = record;
          items.push_back(record);
        }
      }
      std::stable_sort(items.begin(), items.end(), sortComparator);
      self->setItems(std::move(items));
    });
  });
}

void QoDeviceController::updateItem(const RecordPtr& record, const DevicePtr& device) {
  record->setDevice(device);
  record->updateValues();
}

void QoDeviceController::addItemWithdevice(const DevicePtr& device) {
  std::lock_guard<std::recursive_mutex> lock(mapLock_);
  auto record = std::make_shared<DeviceDisplayRecord>();
  updateItem(record, device);
  itemsMap_[device->uuid()] = record;
  std::vector<RecordPtr> items = this->items();
  items.push_back(record);
  std::stable_sort(items.begin(), items.end(), sortComparator);
  setItems(std::move(items));
}

void QoDeviceController::addItems(const Devices& devices) {
  std::lock_guard<std::recursive_mutex> lock(mapLock_);
  try {
    for (const DevicePtr& device : devices) {
      if (!device) continue;
      const RecordPtr record = recordFor(device->uuid());
      if (record && record->getDevice()) {
        // A card in a trust exchange is left alone until the exchange ends.
        const int32_t status = record->getDevice()->status();
        if (status == kWaitingForPeer || status == kPeerAsks) continue;
        updateItem(record, device);
        deviceSorted();
        // Stored again: the request that waited for it goes now (to an untrusted device only:
        // a click on a trusted one would end the trust).
        if (stopAwaitingDiscovery(device->uuid()) && device->status() == kUntrusted) itemTrustButtonClick(record);
      } else {
        addItemWithdevice(device);
      }
    }
  } catch (const std::exception& e) {
    QoLog("*** add Items error, {}", e.what());
  }
}

void QoDeviceController::removeItems(const Devices& devices) {
  std::lock_guard<std::recursive_mutex> lock(mapLock_);
  for (const DevicePtr& device : devices) {
    if (!device) continue;
    const RecordPtr record = recordFor(device->uuid());
    if (!record || !record->getDevice()) continue;
    if (!record->getDevice()->isTrusted() && !device->isOnline()) {
      removeItem(record, device);
    } else {
      updateItem(record, device);
    }
  }
  deviceSorted();
}

void QoDeviceController::removeItem(const RecordPtr& record, const DevicePtr& device) {
  std::lock_guard<std::recursive_mutex> lock(mapLock_);
  updateItem(record, device);
  stopWait(device->uuid());
  stopAwaitingDiscovery(device->uuid());
  itemsMap_.erase(device->uuid());
  std::vector<RecordPtr> items = this->items();
  items.erase(std::remove(items.begin(), items.end(), record), items.end());
  setItems(std::move(items));
}

bool QoDeviceController::sortComparator(const RecordPtr& a, const RecordPtr& b) { return compareRecords(*a, *b) < 0; }

void QoDeviceController::deviceSorted() {
  std::vector<RecordPtr> items = this->items();
  std::stable_sort(items.begin(), items.end(), sortComparator);
  setItems(std::move(items));
}

void QoDeviceController::segmentSelect() {
  const bool on = segmentedControl_->isChecked();
  DataSource::sharedDataSource().setSegmentControl(0, on);
  for (const RecordPtr& record : items()) {
    const DevicePtr device = record->getDevice();
    if (device && device->status() == kUntrusted) record->setDeviceDisplay(on);
  }
  deviceSorted();
}

void QoDeviceController::itemDidClick(SelectableToolbarItem* item) {
  if (item == nullptr || item->itemIdentifier() != "deviceController") return;
  for (const RecordPtr& record : items()) record->updateValues();
  setItems(items());
}

std::vector<QoDeviceController::RecordPtr> QoDeviceController::items() const {
  std::lock_guard<std::recursive_mutex> lock(itemsLock_);
  return items_;
}

QoDeviceController::RecordPtr QoDeviceController::recordFor(const std::string& uuid) const {
  std::lock_guard<std::recursive_mutex> lock(mapLock_);
  const auto found = itemsMap_.find(uuid);
  return found == itemsMap_.end() ? nullptr : found->second;
}

DeviceView* QoDeviceController::viewFor(const RecordPtr& record) const {
  const auto found = views_.find(record.get());
  return found == views_.end() ? nullptr : found->second;
}

bool QoDeviceController::isWaiting(const std::string& uuid) const {
  const auto found = waits_.find(uuid);
  return found != waits_.end() && found->second->isActive();
}

void QoDeviceController::setItems(std::vector<RecordPtr> items) {
  {
    std::lock_guard<std::recursive_mutex> lock(itemsLock_);
    items_ = std::move(items);
  }
  layoutCards();
}

DeviceView* QoDeviceController::makeView(const RecordPtr& record) {
  auto* view = new DeviceView(record, collectView_);
  connect(view->trustButton(), &QPushButton::clicked, this, [this, record] { itemTrustButtonClick(record); });
  connect(view->cancelButton(), &QPushButton::clicked, this, [this, record] { itemCancelButtonClick(record); });
  connect(view->agreeButton(), &QPushButton::clicked, this, [this, record] { itemAgreeButtonClick(record); });
  connect(view->disagreeButton(), &QPushButton::clicked, this, [this, record] { itemDisAgreeButtonClick(record); });
  views_[record.get()] = view;
  return view;
}

void QoDeviceController::layoutCards() {
  const std::vector<RecordPtr> items = this->items();
  std::map<DeviceDisplayRecord*, DeviceView*> kept;
  for (const RecordPtr& record : items) {
    DeviceView* view = viewFor(record);
    if (view == nullptr) view = makeView(record);
    kept[record.get()] = view;
  }
  for (auto& [record, view] : views_) {
    if (kept.count(record) == 0) {
      cardsLayout_->removeWidget(view);
      view->deleteLater();
    }
  }
  views_ = std::move(kept);
  // The cards in display order, then the stretch that keeps them at the top.
  int index = 0;
  for (const RecordPtr& record : items) {
    DeviceView* view = views_[record.get()];
    cardsLayout_->removeWidget(view);
    cardsLayout_->insertWidget(index++, view);
    view->setVisible(record->isDeviceDisplay());
  }
}

// ---- waits ----

void QoDeviceController::startWait(const RecordPtr& record, int32_t status, int ticks) {
  const std::string uuid = record->getDevice()->uuid();
  stopWait(uuid);
  auto* wait = new TrustWait(
      ticks,
      [this, record, uuid, status](int tick) {
        const DevicePtr device = record->getDevice();
        // Another path ended the exchange: the wait ends with it.
        if (!device || device->status() != status) {
          stopWait(uuid);
          return;
        }
        record->setWaitInfoValue(tick);
      },
      [this, record] { timeout(record, record->getDevice()); }, this);
  waits_[uuid] = wait;
  wait->start();
}

void QoDeviceController::stopWait(const std::string& uuid) {
  const auto found = waits_.find(uuid);
  if (found == waits_.end()) return;
  found->second->stop();
  found->second->deleteLater();
  waits_.erase(found);
}

// ---- helpers ----

void QoDeviceController::background(const char* failure, std::function<void()> work) {
  DispatchQueue::globalQueue()->async([failure, work = std::move(work)] {
    try {
      work();
    } catch (const std::exception& e) {
      QoLog(fmt::runtime(failure), e.what());
    }
  });
}

void QoDeviceController::cardJob(const char* failure, QPointer<QoDeviceController> self, const RecordPtr& record,
                                 const std::string& uuid, std::function<void()> work) {
  background(failure, [failure, self = std::move(self), record, uuid, work = std::move(work)] {
    try {
      work();
    } catch (const QoExceptionZeSqlite& e) {
      QoLog(fmt::runtime(failure), e.what());
      const DevicePtr stored = QoDevice::getDeviceWithUuid(uuid);
      onMain(self, [record, stored](QoDeviceController& pane) {
        if (stored) record->setDevice(stored);
        record->setLabelTitle(kNotSavedText);
        QTimer::singleShot(kResultPauseMs, &pane, [&pane, record] {
          record->updateValues();
          pane.deviceSorted();
        });
      });
    }
  });
}

void QoDeviceController::onMain(QPointer<QoDeviceController> self, std::function<void(QoDeviceController&)> work) {
  MainThread::async([self = std::move(self), work = std::move(work)] {
    if (self) work(*self);
  });
}

void QoDeviceController::finishExchange(const RecordPtr& record, std::vector<int32_t> from, int32_t to,
                                        const QString& label) {
  const DevicePtr shown = record->getDevice();
  if (!shown) return;
  stopWait(shown->uuid());
  // The card's device takes the new status at once (an exchange's end stops its wait); the
  // card shows it once the stored status follows.
  auto ended = std::make_shared<QoDevice>(*shown);
  ended->setStatus(to);
  record->setDevice(ended);
  if (!label.isEmpty()) record->setLabelTitle(label);
  cardJob("*** {}", self_, record, shown->uuid(), [self = self_, record, shown, from = std::move(from), to, label] {
    DeviceStatusWriter::change(shown->uuid(), from, to);
    const DevicePtr stored = DeviceStatusWriter::current(shown, to);
    onMain(self, [record, stored, label](QoDeviceController& pane) {
      record->setDevice(stored);
      if (label.isEmpty()) {
        record->updateValues();
        return;
      }
      // The label stays a moment, so that it can be read.
      QTimer::singleShot(kResultPauseMs, &pane, [&pane, record] {
        record->updateValues();
        pane.deviceSorted();
      });
    });
  });
}

void QoDeviceController::showUntrusted(const RecordPtr& record, const DevicePtr& device) {
  record->setDevice(device);
  if (!device->isTrusted() && !device->isOnline()) {
    removeItem(record, device);
  } else {
    record->updateValues();
  }
  deviceSorted();
}

// ---- results ----

void QoDeviceController::timeout(const RecordPtr& record, const DevicePtr& device) {
  if (!device) return;
  const int32_t waited = device->status();
  // The offer is given up: an answer that still comes finds no token and changes nothing.
  const std::string uuid = device->uuid();
  background("*** {}", [uuid, waited] {
    if (waited == kWaitingForPeer) DataSource::sharedDataSource().cleanSendTrustContext(uuid);
    if (waited == kPeerAsks) DataSource::sharedDataSource().cleanRecvTrustContext(uuid);
  });
  finishExchange(record, {waited}, kUntrusted, "请求超时...");
}

void QoDeviceController::refusedByRemote(const RecordPtr& record, const DevicePtr&) {
  finishExchange(record, {kWaitingForPeer}, kUntrusted, "对方拒绝信任");
}

void QoDeviceController::cancelByRemote(const RecordPtr& record, const DevicePtr&) {
  finishExchange(record, {kPeerAsks}, kUntrusted, "对方取消信任");
}

void QoDeviceController::authByRemote(const RecordPtr& record, const DevicePtr&) {
  finishExchange(record, {kWaitingForPeer}, kTrusted, "对方同意信任");
}

void QoDeviceController::distrustByRemote(const RecordPtr& record, const DevicePtr&) {
  finishExchange(record, {kUntrusted, kTrusted, kWaitingForPeer, kPeerAsks}, kUntrusted, QString());
}

// ---- card actions ----

void QoDeviceController::itemTrustButtonClick(const RecordPtr& record) {
  const DevicePtr device = record->getDevice();
  if (!device) {
    QoLog("*** device is nil ??");
    return;
  }
  if (device->status() == kTrusted) {
    _itemDisTrust(record);
    return;
  }
  if (isAwaitingDiscovery(device->uuid())) return;
  const int ticks = static_cast<int>(std::floor(waitTrustTimeout_));
  cardJob("*** itemTrustButton failed, {}", self_, record, device->uuid(), [self = self_, record, device, ticks] {
    if (!QoDevice::getDeviceWithUuid(device->uuid())) {
      onMain(self, [record](QoDeviceController& pane) { pane.offerAfterDiscovery(record); });
      return;
    }
    if (!DeviceStatusWriter::change(device->uuid(), {kUntrusted}, kWaitingForPeer)) {
      const DevicePtr stored = DeviceStatusWriter::current(device, device->status());
      onMain(self, [record, stored](QoDeviceController&) {
        record->setDevice(stored);
        record->updateValues();
      });
      return;
    }
    const DevicePtr waiting = DeviceStatusWriter::current(device, kWaitingForPeer);
    // The card waits before the offer leaves, so that an early answer finds the wait.
    MainThread::sync([&] {
      if (!self) return;
      record->setDevice(waiting);
      record->updateValues();
      record->setWaitInfoMaxValue(ticks);
      self->startWait(record, kWaitingForPeer, ticks);
      self->deviceSorted();
    });
    QoClient::sendTrustPublishRequestTo(waiting, QoClient::kOptionAsync);
  });
}

void QoDeviceController::itemAgreeButtonClick(const RecordPtr& record) {
  const DevicePtr device = record->getDevice();
  if (!device || device->status() != kPeerAsks) {
    QoLog("*** cancel device is nil?");
    return;
  }
  stopWait(device->uuid());
  record->setLabelTitle("信任中...");
  cardJob("*** itemAgreeButtonClick failed, {}", self_, record, device->uuid(), [self = self_, record, device] {
    try {
      const QoMessage::Ptr reply = QoClient::sendTrustRequestTo(device, QoClient::kOptionSync);
      const auto answer =
          reply && reply->code() == pb::MsgCodeTrustResponse ? reply->pbBodyAs<pb::MsgTrustResponse>() : nullptr;
      DataSource::sharedDataSource().cleanRecvTrustContext(device->uuid());
      if (answer && answer->trust_result() == pb::TrustResultAccepted) {
        DeviceStatusWriter::change(device->uuid(), {kPeerAsks}, kTrusted);
        const DevicePtr stored = DeviceStatusWriter::current(device, kTrusted);
        onMain(self, [record, stored](QoDeviceController& pane) {
          record->setDevice(stored);
          record->updateValues();
          pane.deviceSorted();
        });
        return;
      }
      onMain(self, [record](QoDeviceController&) { record->setLabelTitle("信任失败！"); });
      DeviceStatusWriter::change(device->uuid(), {kPeerAsks}, kUntrusted);
      const DevicePtr stored = DeviceStatusWriter::current(device, kUntrusted);
      onMain(self, [record, stored](QoDeviceController& pane) {
        record->setDevice(stored);
        QTimer::singleShot(kResultPauseMs, &pane, [&pane, record] {
          record->updateValues();
          pane.deviceSorted();
        });
      });
    } catch (const std::exception&) {
      onMain(self, [record](QoDeviceController& pane) {
        record->updateValues();
        pane.deviceSorted();
      });
      throw;
    }
  });
}

void QoDeviceController::itemDisAgreeButtonClick(const RecordPtr& record) {
  const DevicePtr device = record->getDevice();
  if (!device || device->status() != kPeerAsks) {
    QoLog("*** cancel device is nil?");
    return;
  }
  stopWait(device->uuid());
  record->setLabelTitle("拒绝信任");
  cardJob("*** itemDisAgreeButtonClick failed, {}", self_, record, device->uuid(), [self = self_, record, device] {
    DeviceStatusWriter::change(device->uuid(), {kPeerAsks}, kUntrusted);
    const QoMessage::Ptr reply = QoClient::sendTrustDenyRequestTo(device, QoClient::kOptionSync);
    DataSource::sharedDataSource().cleanRecvTrustContext(device->uuid());
    const DevicePtr stored = DeviceStatusWriter::current(device, kUntrusted);
    // The card is updated here: the device did not go offline, so no such notice is posted.
    onMain(self, [record, stored, answered = reply != nullptr](QoDeviceController& pane) {
      QTimer::singleShot(answered ? kResultPauseMs : 0, &pane,
                         [&pane, record, stored] { pane.showUntrusted(record, stored); });
    });
  });
}

void QoDeviceController::itemCancelButtonClick(const RecordPtr& record) {
  const DevicePtr device = record->getDevice();
  if (!device || (device->status() != kWaitingForPeer && device->status() != kPeerAsks)) {
    QoLog("*** cancel device is nil?");
    return;
  }
  stopWait(device->uuid());
  cardJob("*** itemCancelButton failed, {}", self_, record, device->uuid(), [self = self_, record, device] {
    try {
      DeviceStatusWriter::change(device->uuid(), {kWaitingForPeer, kPeerAsks}, kUntrusted);
      onMain(self, [record](QoDeviceController&) { record->setLabelTitle("取消请求..."); });
      const QoMessage::Ptr reply = QoClient::sendTrustCancelRequestTo(device, QoClient::kOptionSync);
      if (reply && reply->code() == pb::MsgCodeTrustCancelResponse) {
        onMain(self, [record](QoDeviceController&) { record->setLabelTitle("取消成功..."); });
      } else {
        auto error = reply ? reply->pbBodyAs<pb::MsgError>() : nullptr;
        QoLog("*** sendTrustCancel failed, {}: {}",
              error ? getErrorString(*error).value_or("Unknown") : std::string("no reply"),
              error ? error->errstr() : std::string());
      }
      DataSource::sharedDataSource().cleanSendTrustContext(device->uuid());
      const DevicePtr stored = DeviceStatusWriter::current(device, kUntrusted);
      onMain(self, [record, stored](QoDeviceController& pane) {
        record->setLabelTitle("已取消");
        record->setDevice(stored);
        record->updateValues();
        pane.deviceSorted();
      });
    } catch (const std::exception&) {
      onMain(self, [](QoDeviceController& pane) { pane.deviceSorted(); });
      throw;
    }
  });
}

void QoDeviceController::offerAfterDiscovery(const RecordPtr& record) {
  const DevicePtr device = record->getDevice();
  if (!device || isAwaitingDiscovery(device->uuid())) return;
  const std::string uuid = device->uuid();
  QoLog("Device({}) is not stored: trust request after discovery", device->name());
  auto* deadline = new QTimer(this);
  deadline->setSingleShot(true);
  connect(deadline, &QTimer::timeout, this, [this, record, uuid] {
    if (stopAwaitingDiscovery(uuid)) tellNoTrustRequest(record);
  });
  awaitingDiscovery_[uuid] = deadline;
  deadline->start(kDiscoveryAnswerMs);
  // Every device that hears it stores this one again and answers, and so is stored here.
  background("*** {}", [] { QoDiscovery::sharedQoDiscovery().broadCast(); });
}

bool QoDeviceController::stopAwaitingDiscovery(const std::string& uuid) {
  const auto found = awaitingDiscovery_.find(uuid);
  if (found == awaitingDiscovery_.end()) return false;
  found->second->stop();
  found->second->deleteLater();
  awaitingDiscovery_.erase(found);
  return true;
}

void QoDeviceController::tellNoTrustRequest(const RecordPtr& record) {
  const DevicePtr device = record->getDevice();
  if (!device) return;
  QoLog("*** device({}) did not answer discovery: no trust request sent", device->name());
  auto* alert =
      new QMessageBox(QMessageBox::Warning, "Velbor",
                      QString("“%1”没有回应，信任请求没有发出。请确认该设备在线，并且与本机使用相同的设备标识。")
                          .arg(QString::fromStdString(device->name())),
                      QMessageBox::Ok, window());
  alert->setObjectName("trustRequestAlert");
  alert->setTextFormat(Qt::PlainText);
  alert->button(QMessageBox::Ok)->setText("确定");
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->setWindowModality(Qt::WindowModal);
  alert->open();
}

// ---- withdraw ----

void QoDeviceController::_itemDisTrust(const RecordPtr& record) {
  const DevicePtr device = record->getDevice();
  if (!device) return;
  auto* alert = new QMessageBox(QMessageBox::Critical, "Velbor",
                                QString("是否要取消与“%1”的信任关系，取消信任后您将不能与该设备同步数据")
                                    .arg(QString::fromStdString(device->name())),
                                QMessageBox::NoButton, window());
  alert->setObjectName("distrustAlert");
  // The device names itself: its name is shown as it is, never read as markup.
  alert->setTextFormat(Qt::PlainText);
  alert->setInformativeText("");
  QPushButton* confirm = alert->addButton("确定", QMessageBox::AcceptRole);
  alert->addButton("取消", QMessageBox::RejectRole);
  alert->setDefaultButton(confirm);
  alert->setAttribute(Qt::WA_DeleteOnClose);
  connect(alert, &QMessageBox::finished, this, [this, alert, confirm, record] {
    _distrust(record, alert->clickedButton() == confirm ? kDistrustConfirmed : 0);
  });
  // A sheet: modal for its window only.
  alert->setWindowModality(Qt::WindowModal);
  alert->open();
}

void QoDeviceController::_distrust(const RecordPtr& record, int returnCode) {
  if (returnCode != kDistrustConfirmed) return;
  const DevicePtr device = record->getDevice();
  if (!device) return;
  cardJob("*** {}", self_, record, device->uuid(), [self = self_, record, device] {
    DeviceStatusWriter::change(device->uuid(), {kTrusted}, kUntrusted);
    const QoMessage::Ptr reply = QoClient::sendDisTrustRequestTo(device, QoClient::kOptionSync);
    if (reply && reply->code() == 0) {
      auto error = reply->pbBodyAs<pb::MsgError>();
      QoLog("*** SendDisTrustRequest failed, {}: {}",
            error ? getErrorString(*error).value_or("Unknown") : std::string("Unknown"),
            error ? error->errstr() : std::string());
    } else if (reply && reply->code() != pb::MsgCodeDistrustResponse) {
      QoLog("*** SendDisTrustRequest failed, unkown code");
    }
    if (const DevicePtr stored = QoDevice::getDeviceWithUuid(device->uuid())) stored->forceRemove();
    QoNotices::post(notice::SyncDeleteResponse{});
    auto untrusted = std::make_shared<QoDevice>(*device);
    untrusted->setStatus(kUntrusted);
    // The card is updated here: the device did not go offline, so no such notice is posted.
    onMain(self, [record, untrusted](QoDeviceController& pane) { pane.showUntrusted(record, untrusted); });
  });
}

}  // namespace velbor
