#include "ui/QoDeviceController.h"

#include <QDir>
#include <QMessageBox>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DevicePaneFixture.h"
#include "PlainTextCheck.h"
#include "core/state/TrustInfo.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "ui/DeviceDisplayRecord.h"
#include "ui/DeviceView.h"
#include "ui/OpenMessageBox.h"

namespace velbor::test {
namespace {

class QoDeviceControllerTest : public DevicePaneFixture {
 protected:
  void SetUp() override {
    DevicePaneFixture::SetUp();
    offlineNotices_ = 0;
    offlineObserver_ =
        QoNotices::observe<notice::DeviceOffLine>([this](const notice::DeviceOffLine&) { ++offlineNotices_; });
  }
  void TearDown() override {
    pane_.reset();
    NotificationCenter::defaultCenter().removeObserver(offlineObserver_);
    DevicePaneFixture::TearDown();
  }

  QoDeviceController& openPane() {
    pane_ = std::make_unique<QoDeviceController>();
    pane_->awakeFromNib();
    pane_->show();
    EXPECT_TRUE(spinUntil([&] { return pane_->items().size() == QoDevice::getDeviceRemote().size(); }));
    return *pane_;
  }

  std::shared_ptr<DeviceDisplayRecord> record(const std::string& name) { return pane_->recordFor("uuid-" + name); }
  DeviceView* card(const std::string& name) { return pane_->viewFor(record(name)); }
  QString label(const std::string& name) { return record(name)->values().labelTitle; }

  // An offer of 30 seconds from `name`, shown on its card.
  bool offerShown(const std::string& name) {
    offer(name, 30);
    return spinUntil([&] { return pane_->isWaiting("uuid-" + name) && storedStatus(name) == 3; });
  }
  // Answers the offer shown on `name`'s card with one of its buttons; the labels the card
  // showed until back to "nothing", or nothing when it did not come back.
  std::optional<std::vector<QString>> answerOffer(const std::string& name, QPushButton* (DeviceView::*button)() const) {
    auto labels = labelsOf(name);
    QTest::mouseClick((card(name)->*button)(), Qt::LeftButton);
    if (!spinUntil([&] { return label(name) == "nothing"; })) return std::nullopt;
    return *labels;
  }

  // Every label the card shows from now on, in order.
  std::shared_ptr<std::vector<QString>> labelsOf(const std::string& name) {
    auto seen = std::make_shared<std::vector<QString>>();
    auto shown = record(name);
    QObject::connect(shown.get(), &DeviceDisplayRecord::changed, pane_.get(), [seen, weak = std::weak_ptr(shown)] {
      auto r = weak.lock();
      if (!r) return;
      const QString now = r->values().labelTitle;
      if (seen->empty() || seen->back() != now) seen->push_back(now);
    });
    return seen;
  }

  static void offer(const std::string& name, int32_t timeout) {
    QoNotices::post(
        notice::TrustPublishResponse{std::make_shared<TrustInfo>(TrustInfo{"uuid-" + name, "token", timeout})});
  }

  std::unique_ptr<QoDeviceController> pane_;
  std::atomic<int> offlineNotices_{0};
  NotificationCenter::Token offlineObserver_{};
};

TEST_F(QoDeviceControllerTest, CardsFollowTheFilterAndTheOrderAndTheFilterIsStored) {
  device("b-untrusted", 0, true);
  device("a-trusted", 1, true);
  device("c-offline", 1, false);
  device("d-asking", 3, true);
  QoDeviceController& pane = openPane();
  ASSERT_TRUE(pane.segmentedControl()->isChecked());
  EXPECT_TRUE(DataSource::sharedDataSource().isSegmentControlInited());
  auto order = [&] {
    std::vector<std::string> names;
    for (const auto& r : pane.items()) names.push_back(r->getDevice()->name());
    return names;
  };
  EXPECT_EQ(order(), (std::vector<std::string>{"d-asking", "a-trusted", "b-untrusted", "c-offline"}));
  EXPECT_EQ(card("a-trusted")->trustButton()->text(), "取消信任");
  EXPECT_TRUE(card("a-trusted")->trustButton()->isVisible());
  EXPECT_EQ(card("b-untrusted")->trustButton()->text(), "请求信任");
  EXPECT_TRUE(card("d-asking")->agreeButton()->isVisible());
  EXPECT_EQ(card("d-asking")->waitLabel()->text(), "对方请求信任");
  EXPECT_FALSE(card("d-asking")->trustButton()->isVisible());
  EXPECT_EQ(card("c-offline")->statusLabel()->text(), "离线");
  EXPECT_EQ(card("a-trusted")->objectName(), "uuid-a-trusted");

  QTest::mouseClick(pane.segmentedControl(), Qt::LeftButton, {}, QPoint(5, pane.segmentedControl()->height() / 2));
  ASSERT_FALSE(pane.segmentedControl()->isChecked());
  EXPECT_FALSE(DataSource::sharedDataSource().getSegmentControl(0));
  EXPECT_FALSE(card("b-untrusted")->isVisible());
  EXPECT_TRUE(card("a-trusted")->isVisible());
  EXPECT_EQ(order().back(), "b-untrusted");

  // A new pane takes the stored state.
  pane_.reset();
  QoDeviceController& again = openPane();
  EXPECT_FALSE(again.segmentedControl()->isChecked());
  EXPECT_FALSE(card("b-untrusted")->isVisible());
  EXPECT_FALSE(card("c-offline")->isVisible());
}

TEST_F(QoDeviceControllerTest, OutgoingRequestWaitsItsTicksThenTimesOut) {
  device("peer", 0, true);
  openPane();
  ASSERT_EQ(pane_->waitTrustTimeout(), 3.0f);
  auto labels = labelsOf("peer");
  QTest::mouseClick(card("peer")->trustButton(), Qt::LeftButton);
  ASSERT_TRUE(spinUntil([&] { return storedStatus("peer") == 2 && pane_->isWaiting("uuid-peer"); }));
  EXPECT_EQ(label("peer"), "等待确认...");
  EXPECT_EQ(record("peer")->values().waitInfoMaxValue, 3);
  EXPECT_TRUE(card("peer")->cancelButton()->isVisible());
  EXPECT_FALSE(card("peer")->trustButton()->isVisible());
  int highest = 0;
  ASSERT_TRUE(spinUntil([&] {
    highest = std::max(highest, record("peer")->getWaitAuthTimeoutValue());
    return label("peer") == "请求超时...";
  }));
  EXPECT_EQ(highest, 3);
  ASSERT_TRUE(spinUntil([&] { return label("peer") == "nothing"; }));
  EXPECT_EQ(storedStatus("peer"), 0);
  EXPECT_EQ(card("peer")->trustButton()->text(), "请求信任");
  EXPECT_EQ(*labels, (std::vector<QString>{"nothing", "等待确认...", "请求超时...", "nothing"}));
}

TEST_F(QoDeviceControllerTest, PeerAnswersEndTheOutgoingWaitWithTheirLabels) {
  device("agrees", 0, true);
  device("refuses", 0, true);
  QoConfig::sharedQoConfig().setTrustAuthTimeOut(30);
  openPane();
  for (const char* name : {"agrees", "refuses"}) QTest::mouseClick(card(name)->trustButton(), Qt::LeftButton);
  ASSERT_TRUE(spinUntil([&] { return pane_->isWaiting("uuid-agrees") && pane_->isWaiting("uuid-refuses"); }));
  // What the trust handlers do before they post: the stored status first.
  QoDevice::changeStatus("uuid-agrees", {2}, 1);
  QoNotices::post(notice::TrustResponse{std::make_shared<TrustInfo>(TrustInfo{"uuid-agrees", "t", 0})});
  QoDevice::changeStatus("uuid-refuses", {2}, 0);
  QoNotices::post(notice::TrustDenyResponse{std::make_shared<TrustInfo>(TrustInfo{"uuid-refuses", "t", 0})});
  ASSERT_TRUE(spinUntil([&] { return label("agrees") == "对方同意信任" && label("refuses") == "对方拒绝信任"; }));
  EXPECT_FALSE(pane_->isWaiting("uuid-agrees"));
  ASSERT_TRUE(spinUntil([&] { return label("agrees") == "nothing" && label("refuses") == "nothing"; }));
  EXPECT_EQ(card("agrees")->trustButton()->text(), "取消信任");
  EXPECT_EQ(card("refuses")->trustButton()->text(), "请求信任");
  EXPECT_EQ(storedStatus("agrees"), 1);
  EXPECT_EQ(storedStatus("refuses"), 0);
}

TEST_F(QoDeviceControllerTest, IncomingOfferWaitsOnTheMainThreadAndTheNotifyQueueFlows) {
  device("asker", 0, true);
  openPane();
  offer("asker", 3);
  ASSERT_TRUE(spinUntil([&] { return pane_->isWaiting("uuid-asker"); }));
  EXPECT_EQ(label("asker"), "对方请求信任");
  EXPECT_EQ(record("asker")->values().waitInfoMaxValue, 15);
  EXPECT_TRUE(card("asker")->agreeButton()->isVisible());
  EXPECT_TRUE(card("asker")->disagreeButton()->isVisible());
  ASSERT_TRUE(spinUntil([&] { return storedStatus("asker") == 3; }));

  // While it waits, later notices are delivered: a new device gets its card, a second offer
  // and a device notice for the waiting card change nothing.
  auto newcomer = device("newcomer", 1, true);
  QoNotices::post(notice::DeviceAddResponse{{newcomer}});
  offer("asker", 30);
  auto renamed = std::make_shared<QoDevice>(*QoDevice::getDeviceWithUuid("uuid-asker"));
  renamed->setStatus(0);
  QoNotices::post(notice::DeviceAddResponse{{renamed}});
  ASSERT_TRUE(spinUntil([&] { return record("newcomer") != nullptr; }));
  EXPECT_TRUE(pane_->isWaiting("uuid-asker"));
  EXPECT_EQ(record("asker")->values().waitInfoMaxValue, 15);
  EXPECT_EQ(record("asker")->getDevice()->status(), 3);

  ASSERT_TRUE(spinUntil([&] { return label("asker") == "请求超时..."; }));
  ASSERT_TRUE(spinUntil([&] { return label("asker") == "nothing"; }));
  EXPECT_EQ(storedStatus("asker"), 0);
  EXPECT_EQ(card("asker")->trustButton()->text(), "请求信任");
}

// Anyone can replay a trusted device's offer: waiting on it would end the trust when the
// wait ran out.
TEST_F(QoDeviceControllerTest, AnOfferFromATrustedDeviceIsNotShownAndChangesNothing) {
  device("friend", 1, true);
  device("asker", 0, true);
  openPane();
  offer("friend", 3);
  // Notices are taken in order: once the later offer shows, the first was looked at.
  ASSERT_TRUE(offerShown("asker"));
  EXPECT_FALSE(pane_->isWaiting("uuid-friend"));
  EXPECT_EQ(record("friend")->getDevice()->status(), 1);
  EXPECT_EQ(label("friend"), "nothing");
  EXPECT_EQ(card("friend")->trustButton()->text(), "取消信任");
  EXPECT_EQ(storedStatus("friend"), 1);
}

TEST_F(QoDeviceControllerTest, RefusingUpdatesTheCardWithoutAnOfflineNotice) {
  device("asker", 0, true);
  device("gone-asker", 0, true);
  openPane();
  ASSERT_TRUE(offerShown("asker"));
  const auto labels = answerOffer("asker", &DeviceView::disagreeButton);
  ASSERT_TRUE(labels);
  EXPECT_EQ(storedStatus("asker"), 0);
  EXPECT_EQ(card("asker")->trustButton()->text(), "请求信任");
  EXPECT_EQ(*labels, (std::vector<QString>{"拒绝信任", "nothing"}));
  spin(std::chrono::milliseconds(300));
  EXPECT_EQ(offlineNotices_.load(), 0) << "the device did not go offline";
  EXPECT_NE(record("asker"), nullptr);
}

// A status the database refuses to store is shown as not saved, and the card then shows the
// stored state: never the status it meant to store.
TEST_F(QoDeviceControllerTest, AStatusWriteTheDatabaseRefusesShowsOnTheCard) {
  device("asked", 0, true);
  device("asker", 0, true);
  openPane();
  ASSERT_TRUE(offerShown("asker"));
  SQLiteInstanceManager::sharedManager()->executeUpdateSQL(
      "CREATE TRIGGER refuse_status BEFORE UPDATE OF status ON qo_device BEGIN SELECT RAISE(ABORT, 'refused'); END");
  const QString notSaved = "信任状态保存失败！";
  auto shown = [](const std::shared_ptr<std::vector<QString>>& labels, const QString& text) {
    return std::find(labels->begin(), labels->end(), text) != labels->end();
  };

  // Asking: the offer does not leave, nor does the card wait.
  auto asked = labelsOf("asked");
  QTest::mouseClick(card("asked")->trustButton(), Qt::LeftButton);
  ASSERT_TRUE(spinUntil([&] { return shown(asked, notSaved) && label("asked") == "nothing"; }));
  EXPECT_FALSE(shown(asked, "等待确认..."));
  EXPECT_FALSE(pane_->isWaiting("uuid-asked"));
  EXPECT_EQ(card("asked")->trustButton()->text(), "请求信任");
  EXPECT_EQ(storedStatus("asked"), 0);

  // Refusing: the card shows the offer it still has.
  auto refused = labelsOf("asker");
  QTest::mouseClick(card("asker")->disagreeButton(), Qt::LeftButton);
  ASSERT_TRUE(spinUntil([&] { return shown(refused, notSaved) && label("asker") == "对方请求信任"; }));
  EXPECT_EQ(storedStatus("asker"), 3);
}

TEST_F(QoDeviceControllerTest, AgreeingWithoutAnAnswerFailsBackToUntrusted) {
  device("asker", 0, true);
  openPane();
  ASSERT_TRUE(offerShown("asker"));
  const auto labels = answerOffer("asker", &DeviceView::agreeButton);
  ASSERT_TRUE(labels);
  EXPECT_EQ(*labels, (std::vector<QString>{"信任中...", "信任失败！", "nothing"}));
  EXPECT_EQ(storedStatus("asker"), 0);
}

TEST_F(QoDeviceControllerTest, CancellingAnOfferAndAPeerWithdrawingOne) {
  device("asked", 0, true);
  device("asker", 0, true);
  QoConfig::sharedQoConfig().setTrustAuthTimeOut(30);
  openPane();
  auto labels = labelsOf("asked");
  QTest::mouseClick(card("asked")->trustButton(), Qt::LeftButton);
  ASSERT_TRUE(spinUntil([&] { return pane_->isWaiting("uuid-asked"); }));
  QTest::mouseClick(card("asked")->cancelButton(), Qt::LeftButton);
  ASSERT_TRUE(spinUntil([&] { return label("asked") == "nothing"; }));
  EXPECT_FALSE(pane_->isWaiting("uuid-asked"));
  EXPECT_EQ(storedStatus("asked"), 0);
  // The request could not be delivered: no "取消成功...".
  EXPECT_EQ(*labels, (std::vector<QString>{"nothing", "等待确认...", "取消请求...", "已取消", "nothing"}));

  ASSERT_TRUE(offerShown("asker"));
  QoNotices::post(notice::TrustCancelResponse{std::make_shared<TrustInfo>(TrustInfo{"uuid-asker", "token", 0})});
  ASSERT_TRUE(spinUntil([&] { return label("asker") == "对方取消信任"; }));
  ASSERT_TRUE(spinUntil([&] { return label("asker") == "nothing"; }));
  EXPECT_EQ(storedStatus("asker"), 0);
}

TEST_F(QoDeviceControllerTest, StatusWritesChangeOnlyTheStatusAndOnlyFromTheAwaitedOne) {
  device("peer", 0, true);
  device("late", 0, true);
  openPane();
  QTest::mouseClick(card("peer")->trustButton(), Qt::LeftButton);
  QTest::mouseClick(card("late")->trustButton(), Qt::LeftButton);
  ASSERT_TRUE(spinUntil([&] { return pane_->isWaiting("uuid-peer") && pane_->isWaiting("uuid-late"); }));
  // Discovery renames one meanwhile; the engine accepts the other's answer just before the
  // wait runs out, and its notice has not come yet.
  auto discovered = QoDevice::getDeviceWithUuid("uuid-peer");
  discovered->setName("renamed");
  discovered->saveDiscovered();
  QoDevice::changeStatus("uuid-late", {2}, 1);
  ASSERT_TRUE(spinUntil([&] { return label("peer") == "请求超时..." && label("late") == "请求超时..."; }));
  ASSERT_TRUE(spinUntil([&] { return label("peer") == "nothing" && label("late") == "nothing"; }));
  EXPECT_EQ(QoDevice::getDeviceWithUuid("uuid-peer")->name(), "renamed");
  EXPECT_EQ(storedStatus("peer"), 0);
  EXPECT_EQ(storedStatus("late"), 1) << "the accepted answer stands";
  EXPECT_EQ(card("late")->trustButton()->text(), "取消信任");
}

TEST_F(QoDeviceControllerTest, WithdrawingTrustAsksFirstAndKeepsOnlyOnlineCards) {
  device("online", 1, true);
  device("offline", 1, false);
  openPane();
  for (const char* name : {"online", "offline"}) {
    QTest::mouseClick(card(name)->trustButton(), Qt::LeftButton);
    QMessageBox* alert = nullptr;
    ASSERT_TRUE(spinUntil([&] { return (alert = openMessageBox(pane_->window(), "distrustAlert")) != nullptr; }));
    EXPECT_EQ(alert->text().toStdString(),
              std::string("是否要取消与“") + name + "”的信任关系，取消信任后您将不能与该设备同步数据");
    QAbstractButton* confirm = nullptr;
    for (QAbstractButton* button : alert->buttons()) {
      if (button->text() == "确定") confirm = button;
    }
    ASSERT_NE(confirm, nullptr);
    QTest::mouseClick(confirm, Qt::LeftButton);
    ASSERT_TRUE(spinUntil([&] { return storedStatus(name) == -1; })) << name << " removed";
  }
  ASSERT_TRUE(spinUntil([&] { return record("offline") == nullptr; }));
  ASSERT_TRUE(spinUntil([&] { return record("online")->getDevice()->status() == 0; }));
  EXPECT_EQ(card("online")->trustButton()->text(), "请求信任");
  spin(std::chrono::milliseconds(300));
  EXPECT_EQ(offlineNotices_.load(), 0) << "no device went offline";
}

// After this device ended a trust the device is no longer stored (nor is this one at the
// peer): asking it for trust again waits for discovery to store it, then the request goes;
// without an answer the user is told that nothing was sent.
TEST_F(QoDeviceControllerTest, AskingAgainAfterEndingTrustFindsTheDeviceFirst) {
  device("peer", 1, true);
  device("silent", 1, true);
  QoConfig::sharedQoConfig().setTrustAuthTimeOut(30);
  openPane();
  for (const char* name : {"peer", "silent"}) {
    QTest::mouseClick(card(name)->trustButton(), Qt::LeftButton);
    QMessageBox* alert = nullptr;
    ASSERT_TRUE(spinUntil([&] { return (alert = openMessageBox(pane_->window(), "distrustAlert")) != nullptr; }));
    for (QAbstractButton* button : alert->buttons()) {
      if (button->text() == "确定") QTest::mouseClick(button, Qt::LeftButton);
    }
    ASSERT_TRUE(spinUntil([&] { return storedStatus(name) == -1 && card(name)->trustButton()->text() == "请求信任"; }))
        << name;
  }

  QTest::mouseClick(card("peer")->trustButton(), Qt::LeftButton);
  spin(std::chrono::milliseconds(300));
  // Discovery's answer: the device is stored again, untrusted, and announced.
  auto discovered = device("peer", 0, true);
  QoNotices::post(notice::DeviceAddResponse{{discovered}});
  ASSERT_TRUE(spinUntil([&] { return storedStatus("peer") == 2 && pane_->isWaiting("uuid-peer"); }))
      << "stored status " << storedStatus("peer");
  EXPECT_EQ(label("peer"), "等待确认...");
  EXPECT_TRUE(card("peer")->cancelButton()->isVisible());
  EXPECT_FALSE(card("peer")->trustButton()->isVisible());
  const QString dir = QStringLiteral(VELBOR_SCREENSHOT_DIR);
  QDir().mkpath(dir);
  pane_->resize(640, 260);
  EXPECT_TRUE(pane_->grab().save(dir + "/device-pane-trust-again.png"));

  QTest::mouseClick(card("silent")->trustButton(), Qt::LeftButton);
  QMessageBox* alert = nullptr;
  ASSERT_TRUE(spinUntil([&] { return (alert = openMessageBox(pane_->window(), "trustRequestAlert")) != nullptr; }));
  EXPECT_EQ(alert->text(), "“silent”没有回应，信任请求没有发出。请确认该设备在线，并且与本机使用相同的设备标识。");
  EXPECT_EQ(storedStatus("silent"), -1);
  EXPECT_EQ(card("silent")->trustButton()->text(), "请求信任");
  alert->accept();
}

TEST_F(QoDeviceControllerTest, APeerEndingTrustLeavesTheCardUntrustedWithoutStoringTheDeviceAgain) {
  device("peer", 1, true);
  openPane();
  // What the distrust handler does before it posts: the device is gone.
  auto removed = QoDevice::getDeviceWithUuid("uuid-peer");
  removed->forceRemove();
  QoNotices::post(notice::DistrustResponse{removed});
  ASSERT_TRUE(spinUntil([&] { return card("peer")->trustButton()->text() == "请求信任"; }));
  EXPECT_EQ(record("peer")->getDevice()->status(), 0);
  spin(std::chrono::milliseconds(300));
  EXPECT_EQ(storedStatus("peer"), -1);
}

}  // namespace
}  // namespace velbor::test

namespace velbor::test {
namespace {

TEST_F(QoDeviceControllerTest, APeersNameIsShownAsTextOnItsCardAndInTheWithdrawAlert) {
  const std::string name = markupName().toStdString();
  device(name, 1, true);
  openPane();
  ASSERT_NE(card(name), nullptr);
  EXPECT_EQ(labelsReadingMarkup(card(name), markupName()), QStringList());
  QTest::mouseClick(card(name)->trustButton(), Qt::LeftButton);
  QMessageBox* alert = nullptr;
  ASSERT_TRUE(spinUntil([&] { return (alert = openMessageBox(pane_->window(), "distrustAlert")) != nullptr; }));
  EXPECT_EQ(labelsReadingMarkup(alert, markupName()), QStringList());
  alert->reject();
}

}  // namespace
}  // namespace velbor::test
