// Envelope cost: sealing and opening 1 MiB bodies at each level, and round trips of small
// requests between two devices over loopback tcp (REQ client, ROUTER server thread).

#include <stdlib.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/entity/QoDevice.h"
#include "core/envelope/QoMessage.h"
#include "core/state/DataSource.h"
#include "framework/crypto/QoEncrypt.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "proto/VelborProto.pb.h"

namespace {

using velbor::QoDevice;
using velbor::QoEncrypt;
using velbor::QoMessage;
using velbor::ZMQContext;
using velbor::ZMQMessage;
using velbor::ZMQSocket;
namespace pb = velbor::pb;

constexpr int64_t kBodyBytes = 1024 * 1024;

struct Device {
  std::string privateKey;
  QoDevice::Ptr record;
};

Device alpha;
Device bravo;

Device makeDevice(const std::string& uuid) {
  Device device;
  device.privateKey = QoEncrypt::generateRSAPrivateKey();
  device.record = std::make_shared<QoDevice>();
  device.record->setPkPublic(-1);
  device.record->setUuid(uuid);
  device.record->setName(uuid);
  device.record->setPubKey(QoEncrypt::generateRSAPublicKeyFromPrivateKey(device.privateKey));
  device.record->setStatus(1);
  device.record->save();
  return device;
}

QoMessage::PrivateKeySource keyOf(const Device& device) {
  return [key = device.privateKey] { return key; };
}

QoMessage::Ptr sealedBy(const Device& from, const Device& to, int code, QoMessage::Body body, int level) {
  auto message = QoMessage::qoMessageWithMsgCode(code, std::move(body));
  message->setLevel(level);
  message->setSrcDevice(from.record);
  message->setDestDevice(to.record);
  message->setPrivateKeySource(keyOf(from));
  return message;
}

std::shared_ptr<pb::MsgGetResponse> bigBody() {
  std::string data(kBodyBytes, '\0');
  std::mt19937_64 random(7);
  for (char& byte : data) byte = static_cast<char>(random());
  auto body = std::make_shared<pb::MsgGetResponse>();
  body->set_transfer(1);
  body->set_tree_uuid("tree");
  body->set_path("/bench/file.bin");
  body->mutable_part()->set_offset(0);
  body->mutable_part()->set_length(static_cast<int32_t>(kBodyBytes));
  body->set_part_data(std::move(data));
  return body;
}

std::shared_ptr<pb::MsgFindRequest> smallBody() {
  auto body = std::make_shared<pb::MsgFindRequest>();
  body->set_sync_uuid("5f0c8e2a-4d4b-4b7e-9a57-0a9c1f3e6d21");
  body->set_tree_uuid("1d3b0e77-2f1c-4c52-8a0e-6b7d9e0f4a13");
  body->set_since(1000);
  body->set_limit(100);
  return body;
}

void BM_SealOpen1MiB(benchmark::State& state) {
  const int level = static_cast<int>(state.range(0));
  auto message = sealedBy(alpha, bravo, pb::MsgCodeGetResponse, bigBody(), level);
  for (auto _ : state) {
    ZMQMessage frames = message->getSendZMQMessage();
    auto opened = QoMessage::initWithRecvZMQMessage(frames, keyOf(bravo));
    benchmark::DoNotOptimize(opened->pbBody());
  }
  state.SetBytesProcessed(state.iterations() * kBodyBytes);
  state.counters["MB/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kBodyBytes) / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SealOpen1MiB)->ArgName("level")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The server opens each request and answers at the request's level until a ScanRequest.
void serve(ZMQSocket& server) {
  try {
    for (;;) {
      ZMQMessage frames = ZMQMessage::recvFromSocket(server);
      std::string identity = frames.getNextFrame().value_or("");
      frames.getNextFrame();  // delimiter
      auto request = QoMessage::initWithRecvZMQMessage(frames, keyOf(bravo));
      auto answer = std::make_shared<pb::MsgFindResponse>();
      answer->add_uuids("5f0c8e2a-4d4b-4b7e-9a57-0a9c1f3e6d21");
      auto reply = sealedBy(bravo, alpha, pb::MsgCodeFindResponse, answer, request->level());
      reply->addIdentity(identity);
      reply->sendToSocket(server);
      if (request->code() == pb::MsgCodeScanRequest) return;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "server failed: %s\n", e.what());
  }
}

void BM_RoundTripSmallRequest(benchmark::State& state) {
  const int level = static_cast<int>(state.range(0));
  auto context = std::make_shared<ZMQContext>(1);
  auto server = context->socketWithType(ZMQ_ROUTER);
  auto client = context->socketWithType(ZMQ_REQ);
  server->bindToEndpoint("tcp://127.0.0.1:*");
  client->connectToEndpoint(server->dataForOption(ZMQ_LAST_ENDPOINT).value().c_str());
  std::thread serverThread([&] { serve(*server); });

  for (auto _ : state) {
    sealedBy(alpha, bravo, pb::MsgCodeFindRequest, smallBody(), level)->sendToSocket(*client);
    auto reply = QoMessage::recvFromSocket(*client, keyOf(alpha));
    benchmark::DoNotOptimize(reply->pbBody());
  }
  state.counters["round trips/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);

  sealedBy(alpha, bravo, pb::MsgCodeScanRequest, nullptr, 0)->sendToSocket(*client);
  QoMessage::recvFromSocket(*client, keyOf(alpha));
  serverThread.join();
  context->terminate();
}
BENCHMARK(BM_RoundTripSmallRequest)->ArgName("level")->Arg(0)->Arg(1)->Arg(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // Settings and the device table live in a throw-away HOME.
  char home[] = "/tmp/velbor-envelope-bench-XXXXXX";
  if (::mkdtemp(home) == nullptr) return 1;
  ::setenv("HOME", home, 1);
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("XDG_DATA_HOME");
  int status = 0;
  {
    velbor::DataSource::sharedDataSource().dbCheck();
    alpha = makeDevice("alpha");
    bravo = makeDevice("bravo");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
      status = 1;
    } else {
      benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    alpha = {};
    bravo = {};
    velbor::SQLiteInstanceManager::destorySharedManager();
  }
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return status;
}
