#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "HttpStub.h"
#include "core/daemon/discovery/QoDiscovery.h"
#include "core/daemon/http/QoHttpClient.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFeedback.h"
#include "core/state/QoConfig.h"
#include "core/state/QoConfigDelegateLinux.h"
#include "platform/UserDefaults.h"
#include "support/FreshState.h"

namespace velbor::test {
namespace {

class QoHttpClientTest : public FreshStateTest {
 protected:
  void SetUp() override {
    FreshStateTest::SetUp();
    initDeviceConfig();
    useServer(stub_.baseURL());
  }

  static void useServer(const std::string& url) {
    UserDefaults::standardUserDefaults()->setString(QoHttpClient::kServerURLKey, url);
  }
  static std::shared_ptr<QoFeedback> feedback(const std::string& name, const std::string& rank,
                                              const std::string& message) {
    auto record = std::make_shared<QoFeedback>();
    record->setName(name);
    record->setUserRank(rank);
    record->setMessage(message);
    return record;
  }
  std::string uuid() const { return QoConfig::sharedQoConfig().deviceUuid(); }

  HttpStub stub_;
};

TEST_F(QoHttpClientTest, CheckInNamesThisDeviceAndItsType) {
  QoHttpClient::sendCheckStatusHttpRequest();
  const std::string type = QoDevice::getTypeString(QoConfig::sharedQoConfig().deviceType());
  EXPECT_EQ(stub_.targets(), std::vector<std::string>{"/check_status/" + uuid() + "/" + type});
}

// Only an HTTP 2xx answer whose "errCode" is the integer 0 is a success: an error page, a
// missing or textual code, a body that is not JSON or not an object are all failures.
TEST_F(QoHttpClientTest, SuccessOnlyFor2xxWithIntegerErrCodeZero) {
  struct Case {
    int status;
    std::string body;
    bool accepted;
  };
  const std::vector<Case> cases{
      {200, R"({"errCode":0,"errMsg":"ok"})", true},
      {204, "", false},
      {201, R"({"errCode":0})", true},
      {500, R"({"errCode":0})", false},
      {404, R"({"errCode":0})", false},
      {200, R"({})", false},
      {200, R"({"errCode":"0"})", false},
      {200, R"({"errCode":0.0})", false},
      {200, R"({"errCode":3,"errMsg":"full"})", false},
      {200, "<html>oops</html>", false},
      {200, "0", false},
      {200, R"([0])", false},
  };
  for (const Case& c : cases) {
    stub_.answer(c.status, c.body);
    auto record = feedback("me", "5", "hello");
    EXPECT_EQ(QoHttpClient::sendHttpRequestWithFeedback(*record), c.accepted) << c.status << " " << c.body;
  }
}

// Every byte outside RFC 3986's unreserved set is escaped, "/" too, so each text stays one
// path segment; names and messages are trimmed and empty ones sent as "none".
TEST_F(QoHttpClientTest, FeedbackSegmentsAreEscapedAndFilled) {
  auto record = feedback(" \t\n ", "5 stars", "  a/b c?d#e%f 你好\n");
  EXPECT_TRUE(QoHttpClient::sendHttpRequestWithFeedback(*record));
  auto empty = feedback("Zoë", "-._~", "");
  EXPECT_TRUE(QoHttpClient::sendHttpRequestWithFeedback(*empty));

  const std::string prefix = "/feedback/" + uuid() + "/";
  EXPECT_EQ(stub_.targets(),
            (std::vector<std::string>{prefix + "5%20stars/a%2Fb%20c%3Fd%23e%25f%20%E4%BD%A0%E5%A5%BD/none",
                                      prefix + "-._~/none/Zo%C3%AB"}));
  // The trimmed texts are kept in the record (an empty one stays empty there).
  EXPECT_EQ(record->name(), "");
  EXPECT_EQ(record->message(), "a/b c?d#e%f 你好");
}

// "." and ".." are unreserved, yet as whole segments they would climb the path: each text
// stays its own segment as sent.
TEST_F(QoHttpClientTest, DotSegmentsReachTheServiceAsSent) {
  auto record = feedback("..", "..", ".");
  EXPECT_TRUE(QoHttpClient::sendHttpRequestWithFeedback(*record));
  EXPECT_EQ(stub_.targets(), std::vector<std::string>{"/feedback/" + uuid() + "/.././.."});
}

// What the user wrote, and the name, reach the service in the path but never the log: not
// with a failed request, an error status or a reply that is not JSON (which may echo them).
TEST_F(QoHttpClientTest, FeedbackTextsStayOutOfTheLog) {
  const std::string message = "我的私事 secret-words";
  const std::string name = "Private Name";
  for (const std::string& reply : {std::string("error page"), std::string("{\"errCode\":1,\"errMsg\":\"no\"}")}) {
    stub_.answer(reply == "error page" ? 500 : 200, reply + " " + QoHttpClient::percentEscape(message));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(QoHttpClient::sendHttpRequestWithFeedback(*feedback(name, "1", message)));
    stub_.answer(200, "not json " + message);
    EXPECT_FALSE(QoHttpClient::sendHttpRequestWithFeedback(*feedback(name, "1", message)));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("/feedback/" + uuid() + "/1/"), std::string::npos) << log;
    EXPECT_EQ(log.find("secret"), std::string::npos) << log;
    EXPECT_EQ(log.find("Private"), std::string::npos) << log;
  }
  ASSERT_EQ(stub_.targets().size(), 4U);
  EXPECT_NE(stub_.targets()[0].find(QoHttpClient::percentEscape(message)), std::string::npos);
  EXPECT_NE(stub_.targets()[0].find(QoHttpClient::percentEscape(name)), std::string::npos);
}

TEST_F(QoHttpClientTest, NoRequestWithoutServerAddress) {
  useServer("");
  QoHttpClient::sendCheckStatusHttpRequest();
  auto record = feedback("me", "1", "hi");
  EXPECT_FALSE(QoHttpClient::sendHttpRequestWithFeedback(*record));
  useServer(stub_.baseURL());
  QoHttpClient::sendCheckStatusHttpRequest();
  EXPECT_EQ(stub_.targets().size(), 1U);
}

// The tick's check-in deletes a stored record only once the service took it: refused ones
// and those sent to a silent service stay for the next check-in.
TEST_F(QoHttpClientTest, StoredFeedbackIsDeletedOnlyAfterSuccess) {
  feedback("a", "1", "first")->save();
  feedback("b", "2", "second")->save();
  stub_.answer(200, R"({"errCode":7,"errMsg":"later"})");
  QoDiscovery::sharedQoDiscovery().checkIn();
  EXPECT_EQ(QoFeedback::allObjects().size(), 2U);

  stub_.beSilent();
  QoDiscovery::sharedQoDiscovery().checkIn();
  EXPECT_EQ(QoFeedback::allObjects().size(), 2U);

  stub_.answer(200, R"({"errCode":0})");
  QoDiscovery::sharedQoDiscovery().checkIn();
  EXPECT_TRUE(QoFeedback::allObjects().empty());
  // check-in, two records, three times over.
  EXPECT_EQ(stub_.targets().size(), 9U);
}

}  // namespace
}  // namespace velbor::test
