#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "RouterTestBase.h"
#include "core/daemon/router/QoHandlerTable.h"
#include "core/daemon/router/QoWorker.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoExceptionProto.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "proto/VelborProto.pb.h"

namespace velbor::test {
namespace {

using namespace std::chrono_literals;

// Holds each request in its handler until the test lets it go, and records which worker
// thread took it.
class Gate {
 public:
  struct Arrival {
    std::string name;
    std::thread::id worker;
  };

  void arrive(const std::string& name) {
    std::unique_lock lock(mutex_);
    arrivals_.push_back({name, std::this_thread::get_id()});
    changed_.notify_all();
    changed_.wait_for(lock, 30s, [&] { return all_ || released_.count(name) > 0; });
  }
  bool waitForArrivals(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 20s, [&] { return arrivals_.size() >= count; });
  }
  std::vector<Arrival> arrivals() {
    std::lock_guard lock(mutex_);
    return arrivals_;
  }
  void release(const std::string& name) {
    std::lock_guard lock(mutex_);
    released_.insert(name);
    changed_.notify_all();
  }
  void releaseAll() {
    std::lock_guard lock(mutex_);
    all_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Arrival> arrivals_;
  std::set<std::string> released_;
  bool all_ = false;
};

Gate* gate = nullptr;

std::shared_ptr<pb::MsgStatusRequest> statusRequest(const std::string& tag) {
  auto body = std::make_shared<pb::MsgStatusRequest>();
  body->set_device_uuid(tag);
  return body;
}

QoMessage::Ptr statusResponse() {
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeStatusResponse, std::make_shared<pb::MsgStatusResponse>());
}

QoMessage::Ptr slowHandler(const QoRequest& request) {
  gate->arrive(request.bodyAs<pb::MsgStatusRequest>()->device_uuid());
  return statusResponse();
}

// Fails as its request's tag says.
QoMessage::Ptr failingHandler(const QoRequest& request) {
  const std::string tag = request.bodyAs<pb::MsgStatusRequest>()->device_uuid();
  if (tag == "coded") throw QoExceptionZeBadTree("no such tree");
  if (tag == "plain") throw std::runtime_error("boom");
  if (tag == "assert") QoAssert(false, "broken {}", tag);
  if (tag == "unknown") throw 42;
  return statusResponse();
}

std::atomic<int> bigRepliesMade{0};

// A reply of about 1 MiB, as a part of a file is.
QoMessage::Ptr bigReplyHandler(const QoRequest&) {
  auto body = std::make_shared<pb::MsgStatusResponse>();
  body->add_syncs()->set_remote_tree_root(std::string(1 << 20, 'x'));
  ++bigRepliesMade;
  return QoMessage::qoMessageWithMsgCode(pb::MsgCodeStatusResponse, std::move(body));
}

using RouterWorkersTest = RouterTestBase;

TEST_F(RouterWorkersTest, AFetchWindowOfLargeRepliesIsNeverDropped) {
  // A fetcher keeps a whole window of part requests on one connection (16 MiB of 1 MiB
  // parts) and reads the replies as they come: the router must queue them all, never drop
  // one for a busy peer. (Beyond the window the router holds a peer's requests back.)
  constexpr int kWindow = 16;
  bigRepliesMade = 0;
  QoHandlerTable::ScopedOverride big("StatusRequest", &bigReplyHandler);
  auto client = startRouter(3);
  ZMQContext context(1);
  auto dealer = context.socketWithType(ZMQ_DEALER);
  const std::string endpoint = router_.frontendEndpoint();
  dealer->connectToEndpoint("tcp://127.0.0.1" + endpoint.substr(endpoint.rfind(':')));
  for (int i = 0; i < kWindow; ++i) {
    ZMQMessage request;
    request.addEmptyFrame();
    for (std::string& frame : client->seal(pb::MsgCodeStatusRequest, statusRequest("part"), 1)) {
      request.addFrame(std::move(frame));
    }
    request.sendToSocket(*dealer);
  }
  for (int waited = 0; bigRepliesMade < kWindow && waited < 600; ++waited) std::this_thread::sleep_for(100ms);
  ASSERT_EQ(bigRepliesMade, kWindow);
  // Every reply has reached the router's queue for this peer before any is read.
  std::this_thread::sleep_for(1s);
  int received = 0;
  zmq_pollitem_t item{};
  dealer->getPollItem(item, ZMQ_POLLIN);
  while (received < kWindow && ZMQContext::pollWithItems(&item, 1, 5000) > 0) {
    ZMQMessage::recvFromSocket(*dealer);
    ++received;
  }
  EXPECT_EQ(received, kWindow);
  dealer->closeWithoutLinger();
  context.terminate();
}

TEST_F(RouterWorkersTest, FourSlowRequestsOnThreeWorkersAreAllServedInTurn) {
  Gate requests;
  gate = &requests;
  QoHandlerTable::ScopedOverride slow("StatusRequest", &slowHandler);
  auto client = startRouter(3);

  std::vector<int32_t> codes(4, -1);
  std::vector<std::thread> senders;
  for (int i = 0; i < 4; ++i) {
    senders.emplace_back([&, i] {
      QoMessage::Ptr reply = client->request(pb::MsgCodeStatusRequest, statusRequest("req-" + std::to_string(i)), 1);
      codes[i] = reply ? reply->code() : -1;
    });
  }
  ASSERT_TRUE(requests.waitForArrivals(3));
  // Every worker is busy: the fourth request waits in the frontend.
  EXPECT_EQ(requests.arrivals().size(), 3u);
  const Gate::Arrival first = requests.arrivals().front();
  requests.release(first.name);
  ASSERT_TRUE(requests.waitForArrivals(4));
  // The worker that answered is the only idle one, so it takes the fourth.
  EXPECT_EQ(requests.arrivals()[3].worker, first.worker);
  requests.releaseAll();
  for (auto& sender : senders) sender.join();
  EXPECT_EQ(codes, std::vector<int32_t>(4, pb::MsgCodeStatusResponse));
  gate = nullptr;
}

TEST_F(RouterWorkersTest, HandlerFailuresBecomeErrorRepliesAndTheWorkerGoesOn) {
  QoHandlerTable::ScopedOverride failing("StatusRequest", &failingHandler);
  // One worker: every reply below comes from the same one.
  auto client = startRouter(1);
  auto tagged = [](const char* tag) { return [tag] { return QoMessage::Body(statusRequest(tag)); }; };
  const int32_t code = pb::MsgCodeStatusRequest;
  expectReplies(
      *client, {
                   {"coded", code, tagged("coded"), 2, 2, pb::MsgCodeError, 0, 5, "QoExceptionZeBadTree: no such tree"},
                   {"plain", code, tagged("plain"), 2, 2, pb::MsgCodeError, 0, 4, "bad format"},
                   {"assertion", code, tagged("assert"), 1, 2, pb::MsgCodeError, 0, 4, "bad format"},
                   {"not an exception", code, tagged("unknown"), 1, 2, pb::MsgCodeError, 0, 4, "bad format"},
                   {"served after", code, tagged("fine"), 2, 2, pb::MsgCodeStatusResponse, 2, {}, {}, true},
               });
}

TEST(WorkerTest, StopEndsAWaitingWorkerOnAContextOfItsOwn) {
  // Nobody listens on the endpoint: the worker waits for a request that never comes.
  QoWorker worker("inproc://nobody-listens");
  EXPECT_EQ(worker.identity().size(), 6u);
  std::thread thread([&] { worker.run(); });
  while (!worker.isRunning()) std::this_thread::yield();
  worker.stop();
  thread.join();
  EXPECT_FALSE(worker.isRunning());
}

}  // namespace
}  // namespace velbor::test
