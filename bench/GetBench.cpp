// Get server throughput over loopback tcp: a QoRouter with its workers serves one large file
// to a requester that keeps 16 parts of 1 MiB in flight on a DEALER socket, as the fetcher
// does, at levels 0, 1 and 2. Both sides run in this process; each side's CPU time is the sum
// of its own threads' clocks (the router's broker, workers and ZeroMQ threads against the
// requester's thread and its ZeroMQ threads).
//
// The default run moves 64 MiB per level; VELBOR_GET_BENCH_MIB=<n> moves n MiB per level
// (the file is at most 256 MiB and is read over again for more).

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "BenchHome.h"
#include "core/daemon/router/QoRouter.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/envelope/QoMessage.h"
#include "core/state/QoConfig.h"
#include "core/state/QoConfigDelegateLinux.h"
#include "core/utils/QoUtils.h"
#include "framework/crypto/QoEncrypt.h"
#include "framework/network/ZMQContext.h"
#include "framework/network/ZMQMessage.h"
#include "framework/network/ZMQSocket.h"
#include "proto/VelborProto.pb.h"

namespace {

using namespace velbor;

constexpr int64_t kMiB = 1024 * 1024;
constexpr int64_t kPart = kMiB;
constexpr int kInFlight = 16;
// The fetcher's wait for the next answer.
constexpr int kAnswerWaitMs = 7000;
constexpr int64_t kDefaultMiB = 64;
constexpr int64_t kMaxFileMiB = 256;
constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

using ThreadIds = std::set<pid_t>;

ThreadIds threadsOfProcess() {
  ThreadIds ids;
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return ids;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ids.insert(static_cast<pid_t>(std::atoi(entry->d_name)));
  }
  ::closedir(dir);
  return ids;
}

ThreadIds minus(const ThreadIds& all, const ThreadIds& earlier) {
  ThreadIds rest;
  std::set_difference(all.begin(), all.end(), earlier.begin(), earlier.end(), std::inserter(rest, rest.end()));
  return rest;
}

// CPU seconds of one thread of this process, by the kernel's per-thread clock id (the one
// pthread_getcpuclockid makes); 0 once the thread is gone.
double threadCpuSeconds(pid_t tid) {
  const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6U);
  timespec ts{};
  if (::clock_gettime(clock, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double cpuSeconds(const ThreadIds& threads) {
  double total = 0;
  for (pid_t tid : threads) total += threadCpuSeconds(tid);
  return total;
}

int64_t envMiB() {
  const char* text = std::getenv("VELBOR_GET_BENCH_MIB");
  const long long value = text ? std::atoll(text) : 0;
  return value > 0 ? value : kDefaultMiB;
}

std::string makeContent(int64_t bytes) {
  std::string data(static_cast<size_t>(bytes), '\0');
  std::mt19937_64 random(11);
  for (size_t i = 0; i + 8 <= data.size(); i += 8) {
    const uint64_t word = random();
    std::memcpy(data.data() + i, &word, 8);
  }
  return data;
}

struct Peer {
  std::string privateKey;
  QoDevice::Ptr record;
};

Peer makePeer() {
  Peer peer;
  peer.privateKey = QoEncrypt::generateRSAPrivateKey();
  peer.record = std::make_shared<QoDevice>();
  peer.record->setPkPublic(-1);
  peer.record->setUuid(QoUtils::generateUuid());
  peer.record->setName("requester");
  peer.record->setPubKey(QoEncrypt::generateRSAPublicKeyFromPrivateKey(peer.privateKey));
  peer.record->setStatus(1);
  peer.record->setIsOnline(true);
  peer.record->save();
  return peer;
}

struct Served {
  QoSyncdirCopy::Ptr tree;
  std::string path;
  std::string content;
};

Served serveFile(const std::filesystem::path& base, int64_t bytes) {
  Served served;
  const std::filesystem::path root = base / "tree";
  std::filesystem::create_directories(root);
  served.tree = std::make_shared<QoSyncdirCopy>();
  served.tree->setPath(root.string());
  served.tree->setDevice(QoDevice::getDeviceLocal());
  served.tree->setSyncdirUuid(QoUtils::generateUuid());
  served.tree->setUuid(QoUtils::generateUuid());
  served.tree->insert();
  served.path = "/big.bin";
  served.content = makeContent(bytes);
  const int fd = ::open((root.string() + served.path).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::write(fd, served.content.data(), served.content.size()) != static_cast<ssize_t>(bytes)) {
    throw std::runtime_error("cannot write the served file");
  }
  ::close(fd);

  auto file = std::make_shared<QoFile>();
  file->setPath(root.string() + served.path);
  file->setLength(bytes);
  file->setUsn(1);
  file->setUnixAttr(0644);
  file->setWinAttr(-1);
  file->setAndroidAttr(-1);
  auto relation = std::make_shared<QoFileAndSyncdirCopyRelation>();
  relation->setSyncdirCopy(served.tree);
  relation->setFile(file);
  relation->setVclock("1|0");
  relation->save();
  return served;
}

// The requester: a DEALER socket keeping kInFlight part requests out, each answer opened and
// checked as the fetcher would before writing it.
class Requester {
 public:
  Requester(const std::string& endpoint, const Peer& self, QoDevice::Ptr server, const Served& served)
      : context_(std::make_shared<ZMQContext>(1)), self_(self), server_(std::move(server)), served_(served) {
    socket_ = context_->socketWithType(ZMQ_DEALER);
    const int linger = 0;
    socket_->setData(std::string_view(reinterpret_cast<const char*>(&linger), sizeof linger), ZMQ_LINGER);
    socket_->connectToEndpoint(endpoint);
  }
  ~Requester() {
    socket_->close();
    context_->terminate();
  }

  // Reads `total` bytes of the file (over again from its start as needed) at `level`.
  void fetch(int level, int64_t total) {
    level_ = level;
    int64_t requested = 0;
    int64_t received = 0;
    int outstanding = 0;
    while (received < total) {
      while (outstanding < kInFlight && requested < total) {
        const int64_t length = std::min(kPart, total - requested);
        send(requested % static_cast<int64_t>(served_.content.size()), length);
        requested += length;
        ++outstanding;
      }
      received += receive();
      --outstanding;
    }
  }

 private:
  void send(int64_t offset, int64_t length) {
    const int64_t size = static_cast<int64_t>(served_.content.size());
    auto request = std::make_shared<pb::MsgGetRequest>();
    request->set_transfer(++transfer_);
    request->set_tree_uuid(served_.tree->uuid());
    request->set_path(served_.path);
    request->add_uuids(served_.tree->uuid());
    request->add_vclock(1);
    request->mutable_part()->set_offset(offset);
    request->mutable_part()->set_length(static_cast<int32_t>(std::min(length, size - offset)));
    auto message = QoMessage::qoMessageWithMsgCode(pb::MsgCodeGetRequest, std::move(request));
    message->setLevel(level_);
    if (level_ > QoMessage::kLevelNone) {
      message->setSrcDevice(self_.record);
      message->setDestDevice(server_);
      message->setPrivateKeySource([key = self_.privateKey] { return key; });
    }
    ZMQMessage frames;
    frames.addEmptyFrame();
    ZMQMessage sealed = message->getSendZMQMessage();
    frames.addZmqMessage(sealed);
    if (!frames.sendToSocket(*socket_)) throw std::runtime_error("request not sent");
  }

  int64_t receive() {
    zmq_pollitem_t item{};
    socket_->getPollItem(item, ZMQ_POLLIN);
    if (ZMQContext::pollWithItems(&item, 1, kAnswerWaitMs) <= 0) {
      throw std::runtime_error("no answer within the fetcher's wait: a reply was lost");
    }
    ZMQMessage frames = ZMQMessage::recvFromSocket(*socket_);
    frames.getNextFrame();
    const auto answer = QoMessage::initWithRecvZMQMessage(frames, [key = self_.privateKey] { return key; });
    const auto response = answer->pbBodyAs<pb::MsgGetResponse>();
    if (answer->code() != pb::MsgCodeGetResponse || !response || answer->level() != level_) {
      throw std::runtime_error("unexpected answer code " + std::to_string(answer->code()));
    }
    const std::string& data = response->part_data();
    const auto offset = static_cast<size_t>(response->part().offset());
    if (data.size() != static_cast<size_t>(response->part().length()) ||
        std::memcmp(data.data(), served_.content.data() + offset, data.size()) != 0) {
      throw std::runtime_error("part does not match the file");
    }
    return static_cast<int64_t>(data.size());
  }

  std::shared_ptr<ZMQContext> context_;
  std::shared_ptr<ZMQSocket> socket_;
  const Peer& self_;
  QoDevice::Ptr server_;
  const Served& served_;
  int level_ = 0;
  int32_t transfer_ = 0;
};

// The policy refuses unencrypted Get requests; level 0 is measured as the floor the envelope
// adds to, so this router lets them through.
class OpenRouter : public QoRouter {
 public:
  ~OpenRouter() override { stop(); }
  bool isEncryptNoneExclude(int32_t code) const override { return code == pb::MsgCodeGetRequest; }
};

int run() {
  bench::BenchHome home("get", QoUtils::generateUuid());
  QoConfig& config = QoConfig::sharedQoConfig();
  config.setConfigDelegate(std::make_shared<QoConfigDelegateLinux>());
  config.configInit();
  config.setPortRouter(0);
  // Replies follow the request's level.
  config.setEncryptLevel(QoMessage::kLevelEncrypt);

  const int64_t total = envMiB() * kMiB;
  const Served served = serveFile(home.base(), std::min(total, kMaxFileMiB * kMiB));
  const Peer peer = makePeer();
  // The home's device row is this device: it carries the configured public key.
  const QoDevice::Ptr server = QoDevice::getDeviceLocal();
  server->setPubKey(config.devicePublicKey());
  server->setStatus(1);
  server->save();

  const ThreadIds before = threadsOfProcess();
  OpenRouter router;
  router.start();
  const ThreadIds serverThreads = minus(threadsOfProcess(), before);
  std::string endpoint = router.frontendEndpoint();
  endpoint.replace(endpoint.find("0.0.0.0"), 7, "127.0.0.1");

  int status = 0;
  {
    const ThreadIds withServer = threadsOfProcess();
    Requester requester(endpoint, peer, server, served);
    requester.fetch(QoMessage::kLevelNone, kPart);  // connects, starts the client's threads
    ThreadIds clientThreads = minus(threadsOfProcess(), withServer);
    clientThreads.insert(static_cast<pid_t>(::syscall(SYS_gettid)));

    std::printf("Get server, %d workers, %lld MiB per level in %d parts of 1 MiB in flight over loopback tcp\n",
                config.routerWorkerCount(), static_cast<long long>(total / kMiB), kInFlight);
    std::printf("%-6s %10s %22s %22s\n", "level", "MB/s", "server CPU s/GiB", "requester CPU s/GiB");
    for (int level : {QoMessage::kLevelNone, QoMessage::kLevelAuth, QoMessage::kLevelEncrypt}) {
      try {
        const double serverCpu = cpuSeconds(serverThreads);
        const double clientCpu = cpuSeconds(clientThreads);
        const auto start = std::chrono::steady_clock::now();
        requester.fetch(level, total);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double gib = static_cast<double>(total) / kGiB;
        std::printf("%-6d %10.1f %22.2f %22.2f\n", level, static_cast<double>(total) / 1e6 / seconds,
                    (cpuSeconds(serverThreads) - serverCpu) / gib, (cpuSeconds(clientThreads) - clientCpu) / gib);
        std::fflush(stdout);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "level %d failed: %s\n", level, e.what());
        status = 1;
        break;
      }
    }
  }
  router.stop();
  return status;
}

}  // namespace

int main() {
  try {
    return run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "get bench failed: %s\n", e.what());
    return 1;
  }
}
