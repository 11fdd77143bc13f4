#include <QMessageBox>
#include <QTest>

#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/daemon/discovery/QoDiscovery.h"
#include "core/daemon/http/HttpStub.h"
#include "core/daemon/http/QoHttpClient.h"
#include "core/entity/QoFeedback.h"
#include "core/state/DataSource.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "platform/UserDefaults.h"
#include "support/Eventually.h"
#include "support/FreshState.h"
#include "ui/QoFeedBackViewController.h"
#include "ui/UiSpin.h"
#include "ui/WidgetFrames.h"

namespace velbor::test {
namespace {

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class FeedbackWindowTest : public FreshStateTest {
 protected:
  void SetUp() override {
    FreshStateTest::SetUp();
    DataSource::sharedDataSource().dbCheck();
    initDeviceConfig();
    stub_ = std::make_unique<HttpStub>();
    UserDefaults::standardUserDefaults()->setString(QoHttpClient::kServerURLKey, stub_->baseURL());
    typeText(window_.suggestMessageText(), "同步很快");
    QTest::keyClicks(window_.suggestUserNameText(), "Alice");
  }

  QoFeedBackViewController window_;
  std::unique_ptr<HttpStub> stub_;
};

// The record is in the database while the upload runs and leaves it only once the service
// took it; a name the user turned off is not sent.
TEST_F(FeedbackWindowTest, RecordIsStoredUntilTheServiceTookItAndTheNameOnlyWhenChosen) {
  QoFeedBackViewController::upload(window_.makeFeedback());
  ASSERT_EQ(stub_->targets().size(), 1U);
  EXPECT_TRUE(endsWith(stub_->targets()[0], "/Alice"));
  EXPECT_EQ(QoFeedback::count(), 0);

  window_.sendUserNameButton()->click();
  EXPECT_FALSE(window_.suggestUserNameText()->isEnabled());
  stub_->beSilent();
  std::thread upload([feedback = window_.makeFeedback()] { QoFeedBackViewController::upload(feedback); });
  EXPECT_TRUE(eventually([&] { return stub_->targets().size() == 2; }));
  EXPECT_TRUE(endsWith(stub_->targets()[1], "/none"));
  EXPECT_EQ(QoFeedback::count(), 1);
  // The service goes away mid-request: the record stays for the next check-in.
  stub_.reset();
  upload.join();
  const auto stored = QoFeedback::allObjects();
  ASSERT_EQ(stored.size(), 1U);
  EXPECT_EQ(stored[0]->name(), "");
  EXPECT_EQ(stored[0]->message(), "同步很快");
  EXPECT_EQ(stored[0]->userRank(), window_.suggestMatrix()->checkedButton()->text().toStdString());
}

// A record the database refuses to store is still sent: the upload is then its only chance.
TEST_F(FeedbackWindowTest, FeedbackThatCannotBeStoredIsSentAllTheSame) {
  QoFeedback::tableCheck();
  SQLiteInstanceManager::sharedManager()->executeUpdateSQL(
      "CREATE TRIGGER refuse BEFORE INSERT ON qo_feedback BEGIN SELECT RAISE(ABORT, 'refused'); END");
  QoFeedBackViewController::upload(window_.makeFeedback());
  ASSERT_EQ(stub_->targets().size(), 1U);
  EXPECT_TRUE(endsWith(stub_->targets()[0], "/Alice"));
  EXPECT_EQ(QoFeedback::count(), 0);
}

// With the network down the user is thanked all the same, and the record waits.
TEST_F(FeedbackWindowTest, SendingThanksAtOnceAndKeepsAFailedRecord) {
  stub_->answer(500, "down");
  QString thanks;
  auto user = onModal<QMessageBox>([&](QMessageBox* box) {
    thanks = box->text();
    box->buttons().at(0)->click();
  });
  window_.submitButton()->click();
  EXPECT_EQ(thanks, "谢谢您的建议！");
  EXPECT_EQ(window_.result(), QDialog::Accepted);
  EXPECT_FALSE(window_.submitButton()->isEnabled());
  QoDiscovery::sharedQoDiscovery().waitForJobs();
  EXPECT_EQ(stub_->targets().size(), 1U);
  EXPECT_EQ(QoFeedback::count(), 1);
}

// With no service address nothing can be sent: the alert says so instead of thanking, and
// no indicator turns behind it as if something were being sent.
TEST_F(FeedbackWindowTest, WithoutServiceAddressTheUserIsToldItWasNotSent) {
  UserDefaults::standardUserDefaults()->setString(QoHttpClient::kServerURLKey, "");
  window_.show();
  QString told;
  bool turnedBehindTheAnswer = true;
  auto user = onModal<QMessageBox>([&](QMessageBox* box) {
    told = box->text();
    turnedBehindTheAnswer = window_.indicator()->isVisible() || window_.indicator()->isAnimating();
    box->buttons().at(0)->click();
  });
  window_.submitButton()->click();
  EXPECT_EQ(told, "未设置服务器地址，建议未能发送！");
  EXPECT_FALSE(turnedBehindTheAnswer);
  EXPECT_EQ(window_.result(), QDialog::Accepted);
  QoDiscovery::sharedQoDiscovery().waitForJobs();
  EXPECT_TRUE(stub_->targets().empty());
}

// While the user reads the thanks, the window's indicator turns; it stops with the window.
TEST_F(FeedbackWindowTest, TheIndicatorTurnsWhileSending) {
  window_.show();
  bool turnedWhileSending = false;
  auto user = onModal<QMessageBox>([&](QMessageBox* box) {
    turnedWhileSending = window_.indicator()->isVisible() && turns(window_.indicator());
    box->buttons().at(0)->click();
  });
  window_.submitButton()->click();
  EXPECT_TRUE(turnedWhileSending);
  EXPECT_FALSE(window_.indicator()->isVisible());
  QoDiscovery::sharedQoDiscovery().waitForJobs();
}

}  // namespace
}  // namespace velbor::test
