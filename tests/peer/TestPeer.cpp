#include "peer/TestPeer.h"

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/daemon/client/QoClient.h"
#include "core/daemon/discovery/QoEndpointChallenge.h"
#include "core/daemon/discovery/QoPeerRecheck.h"
#include "core/daemon/monitor/Monitor.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/state/DataSource.h"
#include "core/state/Lockers.h"
#include "core/state/QoConfig.h"
#include "core/state/QoNotices.h"
#include "core/utils/QoUtils.h"
#include "desktop/QoDaemonLinux.h"
#include "framework/crypto/QoEncrypt.h"
#include "platform/Dispatch.h"
#include "platform/LockerGuard.h"
#include "platform/QoLog.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

namespace {

using nlohmann::json;

json failure(const std::string& error) { return json{{"ok", false}, {"error", error}}; }

// The sync-pair window's warning for a tree that is paired within another sync folder.
constexpr const char* kPairedElsewhere = "该目录已经和别的目录建立同步";

int parseInt(const std::string& option, const std::string& text) {
  size_t used = 0;
  const int value = std::stoi(text, &used);
  if (used != text.size()) throw std::invalid_argument("bad number for " + option);
  return value;
}

// The error text of a reply that is not the expected code.
std::string replyError(const QoMessage::Ptr& reply) {
  if (!reply) return "no reply";
  if (auto error = reply->pbBodyAs<pb::MsgError>()) return error->errstr();
  return "unexpected reply code " + std::to_string(reply->code());
}

QoDevice::Ptr requireDevice(const std::string& uuid) {
  QoDevice::Ptr device = QoDevice::getDeviceWithUuid(uuid);
  if (!device || device->isLocalDevice()) throw std::runtime_error("no such device");
  return device;
}

// The port of a bound endpoint ("tcp://0.0.0.0:40123"); `configured` while none is bound.
// A setting of 0 lets the system choose, and only the bound port can be reached.
int boundPort(const std::string& endpoint, int configured) {
  const auto colon = endpoint.rfind(':');
  return colon == std::string::npos ? configured : std::stoi(endpoint.substr(colon + 1));
}

std::string toHex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

std::string fromHex(const std::string& text) {
  if (text.size() % 2 != 0) throw std::invalid_argument("odd hex length");
  std::string bytes;
  for (size_t i = 0; i < text.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return bytes;
}

void setStatus(const std::string& uuid, int32_t status) {
  LockerGuard lock(Lockers::trust(uuid));
  if (QoDevice::Ptr device = QoDevice::getDeviceWithUuid(uuid)) {
    device->setStatus(status);
    device->save();
  }
}

}  // namespace

TestPeer::Options TestPeer::parseOptions(const std::vector<std::string>& arguments) {
  Options options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--accept-trust") {
      options.acceptTrust = true;
      continue;
    }
    if (option == "--hold-trust") {
      options.holdTrust = true;
      continue;
    }
    if (i + 1 >= arguments.size()) throw std::invalid_argument("missing value for " + option);
    const std::string& value = arguments[++i];
    if (option == "--token") {
      options.token = value;
    } else if (option == "--name") {
      options.name = value;
    } else if (option == "--router-port") {
      options.routerPort = parseInt(option, value);
    } else if (option == "--publisher-port") {
      options.publisherPort = parseInt(option, value);
    } else if (option == "--udp-port") {
      options.udpPort = parseInt(option, value);
    } else if (option == "--broadcast-interval") {
      options.broadcastInterval = parseInt(option, value);
    } else if (option == "--online-timeout") {
      options.onlineTimeout = parseInt(option, value);
    } else if (option == "--distrust-recheck") {
      options.distrustRecheck = parseInt(option, value);
    } else {
      throw std::invalid_argument("unknown option " + option);
    }
  }
  return options;
}

TestPeer::TestPeer(Options options) : options_(std::move(options)) {}

TestPeer::~TestPeer() { stop(); }

void TestPeer::start() {
  QoDaemonLinux& daemon = QoDaemonLinux::sharedQoDaemonLinux();
  daemon.daemonInit();
  QoConfig& config = QoConfig::sharedQoConfig();
  if (options_.token) config.setDeviceToken(*options_.token);
  if (options_.name) config.setDeviceName(*options_.name);
  if (options_.routerPort) config.setPortRouter(*options_.routerPort);
  if (options_.publisherPort) config.setPortPublisher(*options_.publisherPort);
  if (options_.udpPort) config.setPortUdp(*options_.udpPort);
  if (options_.broadcastInterval) config.setBroadCastInterval(*options_.broadcastInterval);
  if (options_.onlineTimeout) config.setDeviceOnlineTimeOut(*options_.onlineTimeout);
  if (options_.distrustRecheck) QoPeerRecheck::setDistrustRecheckDelay(std::chrono::seconds(*options_.distrustRecheck));
  if (options_.acceptTrust) {
    // What a user who says yes to every offer does in the device window.
    observers_.push_back(
        QoNotices::observe<notice::TrustPublishResponse>([this](const notice::TrustPublishResponse& n) {
          if (!n.info) return;
          const std::string uuid = n.info->deviceUuid;
          DispatchQueue::globalQueue()->async([this, uuid] { acceptOffer(uuid); });
        }));
  }
  if (options_.holdTrust) {
    observers_.push_back(QoNotices::observe<notice::TrustPublishResponse>([](const notice::TrustPublishResponse& n) {
      // As the device window: an offer of a trusted device changes nothing.
      if (n.info) QoDevice::changeStatus(n.info->deviceUuid, {0}, 3);
    }));
    observers_.push_back(QoNotices::observe<notice::TrustCancelResponse>([](const notice::TrustCancelResponse& n) {
      if (n.info) QoDevice::changeStatus(n.info->deviceUuid, {3}, 0);
    }));
  }
  daemon.start();
}

void TestPeer::stop() {
  for (const auto& token : observers_) NotificationCenter::defaultCenter().removeObserver(token);
  observers_.clear();
  QoDaemonLinux::sharedQoDaemonLinux().stop();
}

void TestPeer::acceptOffer(const std::string& deviceUuid) {
  try {
    setStatus(deviceUuid, 3);
    QoDevice::Ptr device = QoDevice::getDeviceWithUuid(deviceUuid);
    if (!device) return;
    QoMessage::Ptr reply = QoClient::sendTrustRequestTo(device, QoClient::kOptionSync);
    auto answer = reply ? reply->pbBodyAs<pb::MsgTrustResponse>() : nullptr;
    setStatus(deviceUuid, answer && answer->trust_result() == 1 ? 1 : 0);
  } catch (const std::exception& e) {
    QoLog("*** test peer: accepting the offer of ({}) failed, {}", deviceUuid, e.what());
  }
}

json TestPeer::readyLine() const {
  return json{{"ok", true}, {"ready", true}, {"uuid", QoConfig::sharedQoConfig().deviceUuid()}};
}

json TestPeer::handle(const std::string& line) {
  std::istringstream words(line);
  std::string command;
  words >> command;
  std::vector<std::string> arguments;
  for (std::string word; words >> word;) arguments.push_back(word);
  auto expect = [&](size_t count) {
    if (arguments.size() != count) throw std::invalid_argument("usage: wrong number of arguments for " + command);
  };
  try {
    if (command == "info") return expect(0), info();
    if (command == "devices") return expect(0), devices();
    if (command == "device-add") return expect(4), deviceAdd(arguments);
    if (command == "trust") return expect(1), trust(arguments[0]);
    if (command == "offer") return expect(1), offer(arguments[0]);
    if (command == "trust-answer") return expect(2), trustAnswer(arguments[0], arguments[1]);
    if (command == "trust-cancel") return expect(1), trustCancel(arguments[0]);
    if (command == "distrust") return expect(1), distrust(arguments[0]);
    if (command == "tree-add") return expect(1), treeAdd(arguments[0]);
    if (command == "pair") return expect(3), pair(arguments[0], arguments[1], arguments[2]);
    if (command == "sync") return expect(0), sync();
    if (command == "status") return expect(0), status();
    if (command == "status-of") return expect(1), statusOf(arguments[0]);
    if (command == "challenge") return expect(3), challenge(arguments[0], arguments[1], arguments[2]);
    if (command == "offline") {
      // What the debug panel's offline button does: the peers are told this device leaves.
      expect(0);
      QoNotices::post(notice::ProcessExit{});
      return json{{"ok", true}};
    }
    if (command == "quit") {
      expect(0);
      quit_ = true;
      return json{{"ok", true}};
    }
    return failure("unknown command: " + command);
  } catch (const std::exception& e) {
    return failure(e.what());
  }
}

json TestPeer::info() const {
  const QoConfig& config = QoConfig::sharedQoConfig();
  const QoDaemonLinux& daemon = QoDaemonLinux::sharedQoDaemonLinux();
  return json{{"ok", true},
              {"uuid", config.deviceUuid()},
              {"name", config.deviceName()},
              {"routerPort", boundPort(daemon.routerEndpoint(), config.portRouter())},
              {"publisherPort", boundPort(daemon.publisherEndpoint(), config.portPublisher())},
              {"udpPort", config.portUdp()},
              {"publicKey", toHex(QoEncrypt::convertPublicKeyFromPemToDer(config.devicePublicKey()))}};
}

json TestPeer::devices() const {
  json list = json::array();
  for (const auto& device : QoDevice::getDeviceRemote()) {
    list.push_back(json{{"uuid", device->uuid()},
                        {"name", device->name()},
                        {"online", device->isOnline()},
                        {"status", device->status()},
                        {"routeUri", device->routeUri()}});
  }
  return json{{"ok", true}, {"devices", list}};
}

json TestPeer::deviceAdd(const std::vector<std::string>& arguments) {
  // What a management client does where discovery cannot reach (devices on one host).
  auto body = std::make_shared<pb::MsgDeviceAddRequest>();
  body->set_uuid(arguments[0]);
  body->set_name(arguments[0]);
  body->set_route_uri(arguments[1]);
  body->set_pub_uri(arguments[2]);
  body->set_type(pb::DeviceTypeLinux);
  body->set_public_key(fromHex(arguments[3]));
  QoMessage::Ptr reply = QoClient::sendReuqestTo(QoDevice::getDeviceLocal(), pb::MsgCodeDeviceAddRequest,
                                                 QoClient::kOptionSync, std::move(body));
  if (!reply || reply->code() != pb::MsgCodeDeviceAddResponse) return failure(replyError(reply));
  return json{{"ok", true}};
}

json TestPeer::trust(const std::string& uuid) {
  QoDevice::Ptr device = requireDevice(uuid);
  // What the device window does: the offer, then waiting for the answer.
  const json offered = offer(uuid);
  if (!offered.value("ok", false)) return offered;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(QoConfig::sharedQoConfig().trustAuthTimeOut());
  while (std::chrono::steady_clock::now() < deadline) {
    QoDevice::Ptr current = QoDevice::getDeviceWithUuid(uuid);
    if (!current) return failure("device removed");
    if (current->status() == 1) return json{{"ok", true}, {"result", "accepted"}};
    if (current->status() == 0) return json{{"ok", true}, {"result", "refused"}};
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  setStatus(uuid, 0);
  QoClient::sendTrustCancelRequestTo(device, QoClient::kOptionSync);
  return json{{"ok", true}, {"result", "timeout"}};
}

json TestPeer::offer(const std::string& uuid) {
  QoDevice::Ptr device = requireDevice(uuid);
  // Waiting for the answer, then the offer.
  setStatus(uuid, 2);
  QoMessage::Ptr reply = QoClient::sendTrustPublishRequestTo(device, QoClient::kOptionSync);
  if (!reply || reply->code() != pb::MsgCodeTrustPublishResponse) {
    setStatus(uuid, 0);
    return failure("offer not taken: " + replyError(reply));
  }
  return json{{"ok", true}};
}

json TestPeer::trustAnswer(const std::string& uuid, const std::string& answer) {
  QoDevice::Ptr device = requireDevice(uuid);
  if (!DataSource::sharedDataSource().getRecvTrustContext(uuid)) return failure("no offer from that device");
  if (answer == "agree") {
    QoMessage::Ptr reply = QoClient::sendTrustRequestTo(device, QoClient::kOptionSync);
    auto body = reply ? reply->pbBodyAs<pb::MsgTrustResponse>() : nullptr;
    const bool accepted = body && body->trust_result() == 1;
    setStatus(uuid, accepted ? 1 : 0);
    DataSource::sharedDataSource().cleanRecvTrustContext(uuid);
    if (!body) return failure("agreement not taken: " + replyError(reply));
    return json{{"ok", true}, {"result", accepted ? "accepted" : "rejected"}};
  }
  if (answer == "refuse") {
    setStatus(uuid, 0);
    QoMessage::Ptr reply = QoClient::sendTrustDenyRequestTo(device, QoClient::kOptionSync);
    DataSource::sharedDataSource().cleanRecvTrustContext(uuid);
    if (!reply || reply->code() != pb::MsgCodeTrustDenyResponse)
      return failure("refusal not taken: " + replyError(reply));
    return json{{"ok", true}};
  }
  throw std::invalid_argument("usage: trust-answer UUID agree|refuse");
}

json TestPeer::trustCancel(const std::string& uuid) {
  QoDevice::Ptr device = requireDevice(uuid);
  setStatus(uuid, 0);
  QoMessage::Ptr reply = QoClient::sendTrustCancelRequestTo(device, QoClient::kOptionSync);
  DataSource::sharedDataSource().cleanSendTrustContext(uuid);
  if (!reply || reply->code() != pb::MsgCodeTrustCancelResponse)
    return failure("withdrawal not taken: " + replyError(reply));
  return json{{"ok", true}};
}

json TestPeer::distrust(const std::string& uuid) {
  QoDevice::Ptr device = requireDevice(uuid);
  setStatus(uuid, 0);
  QoMessage::Ptr reply = QoClient::sendDisTrustRequestTo(device, QoClient::kOptionSync);
  if (QoDevice::Ptr stored = QoDevice::getDeviceWithUuid(uuid)) stored->forceRemove();
  QoNotices::post(notice::SyncDeleteResponse{});
  if (!reply || reply->code() != pb::MsgCodeDistrustResponse)
    return failure("distrust not taken: " + replyError(reply));
  return json{{"ok", true}};
}

json TestPeer::treeAdd(const std::string& path) {
  QoMessage::Ptr reply = QoClient::localTreeAddSyncUuid(std::nullopt, path, std::nullopt);
  auto body = reply ? reply->pbBodyAs<pb::MsgTreeAddResponse>() : nullptr;
  if (!body) return failure(replyError(reply));
  return json{{"ok", true}, {"treeUuid", body->tree_uuid()}};
}

json TestPeer::pair(const std::string& localPath, const std::string& peerUuid, const std::string& remotePath) {
  // This device's own uuid pairs two folders here, as the window allows.
  QoDevice::Ptr peer = QoDevice::getDeviceWithUuid(peerUuid);
  if (!peer) throw std::runtime_error("no such device");
  QoDevice::Ptr local = QoDevice::getDeviceLocal();

  // The peer's tree at REMOTE_PATH, made there when it is none yet (as remote browsing can).
  auto findRemote = [&]() -> std::optional<pb::TreeInfo> {
    QoMessage::Ptr reply = QoClient::sendTreeShowRequestTo(peer, QoClient::kOptionSync);
    auto body = reply ? reply->pbBodyAs<pb::MsgTreeShowResponse>() : nullptr;
    if (!body) throw std::runtime_error("tree list: " + replyError(reply));
    for (const auto& tree : body->trees()) {
      if (tree.tree_root() == remotePath) return tree;
    }
    return std::nullopt;
  };
  std::optional<pb::TreeInfo> remote = findRemote();
  if (!remote && peer->isLocalDevice()) {
    QoMessage::Ptr reply = QoClient::localTreeAddSyncUuid(std::nullopt, remotePath, std::nullopt);
    if (!reply || reply->code() != pb::MsgCodeTreeAddResponse) return failure("remote tree: " + replyError(reply));
    remote = findRemote();
    if (!remote) return failure("remote tree not listed after it was made");
  }
  if (!remote) {
    QoClient client(peer);
    auto add = std::make_shared<pb::MsgTreeAddRequest>();
    add->set_sync_uuid(QoUtils::generateUuid());
    add->set_tree_root(remotePath);
    add->set_tree_uuid(QoUtils::generateUuid());
    QoMessage::Ptr message = QoMessage::qoMessageWithMsgCode(pb::MsgCodeTreeAddRequest, std::move(add));
    // responseFromRequest sends the message as it is: it is sealed for the peer here.
    QoClient::filterOfMessageEncryptLevel(*message);
    if (message->level() > QoMessage::kLevelNone) {
      message->setSrcDevice(local);
      message->setDestDevice(peer);
    }
    QoMessage::Ptr reply = client.responseFromRequest(message);
    if (!reply || reply->code() != pb::MsgCodeTreeAddResponse) return failure("remote tree: " + replyError(reply));
    remote = findRemote();
    if (!remote) return failure("remote tree not listed after it was made");
  }

  // What the sync-pair window's OK does.
  QoSyncdirCopy::Ptr copy = QoSyncdirCopy::getSyncdirCopyWithPath(localPath, 0);
  if (copy && copy->syncdirUuid() != remote->sync_uuid()) {
    // A tree pulls only from a copy of its own sync folder. One with no pairing yet makes way
    // for a tree in the remote's folder (the old row keeps its slot in the old folder's
    // clocks); one that is paired already cannot join it.
    if (!copy->getAllSyncdirCopyRelations().empty()) return failure(kPairedElsewhere);
    auto remove = std::make_shared<pb::MsgTreeDeleteRequest>();
    remove->set_tree_uuid(copy->uuid());
    try {
      // Refused when the tree was paired since the look above.
      QoWorker::handleTreeDeleteRequest(QoRequest{remove, nullptr, QoMessage::kLevelNone, false});
    } catch (const std::exception& e) {
      return failure(std::string(kPairedElsewhere) + ": " + e.what());
    }
    copy = nullptr;
  }
  if (!copy) {
    QoMessage::Ptr reply = QoClient::localTreeAddSyncUuid(remote->sync_uuid(), localPath, std::nullopt);
    auto body = reply ? reply->pbBodyAs<pb::MsgTreeAddResponse>() : nullptr;
    if (!body) return failure("local tree: " + replyError(reply));
    copy = QoSyncdirCopy::getSyncdirCopyWithUuid(body->tree_uuid());
    if (!copy) return failure("local tree not stored");
  }
  QoMessage::Ptr here = QoClient::sendSyncAddRequestTo(local, QoClient::kOptionSync, copy->uuid(), copy->syncdirUuid(),
                                                       remote->tree_uuid(), remote->tree_root(), peer->uuid());
  if (!here || here->code() != pb::MsgCodeSyncAddResponse) return failure("pairing here: " + replyError(here));
  QoMessage::Ptr there = QoClient::sendSyncAddRequestTo(peer, QoClient::kOptionSync, remote->tree_uuid(),
                                                        remote->sync_uuid(), copy->uuid(), localPath, local->uuid());
  auto error = there ? there->pbBodyAs<pb::MsgError>() : nullptr;
  const bool exists = error && error->errcode() == pb::ErrorCodeExist;
  if (!there || (there->code() != pb::MsgCodeSyncAddResponse && !exists)) {
    return failure("pairing there: " + replyError(there));
  }
  return json{{"ok", true}, {"localTreeUuid", copy->uuid()}, {"remoteTreeUuid", remote->tree_uuid()}};
}

json TestPeer::sync() {
  json results = json::array();
  bool allDone = true;
  for (const auto& copy : QoSyncdirCopy::getSyncdirCopyInLocalDevice()) {
    for (const auto& relation : copy->getAllSyncdirCopyRelations()) {
      if (!relation->firstSyncdirCopy() || !relation->secondSyncdirCopy()) continue;
      if (relation->firstSyncdirCopy()->uuid() != copy->uuid()) continue;
      auto body = std::make_shared<pb::MsgSyncOnceRequest>();
      body->set_local_tree_uuid(relation->firstSyncdirCopy()->uuid());
      body->set_remote_tree_uuid(relation->secondSyncdirCopy()->uuid());
      QoRequest request;
      request.body = std::move(body);
      request.fromNetwork = false;
      QoMessage::Ptr reply = QoWorker::handleSyncOnceRequest(request);
      const bool done = reply && reply->code() == pb::MsgCodeSyncOnceResponse;
      allDone = allDone && done;
      results.push_back(json{{"localTreeUuid", relation->firstSyncdirCopy()->uuid()},
                             {"remoteTreeUuid", relation->secondSyncdirCopy()->uuid()},
                             {"done", done}});
    }
  }
  if (!allDone) return json{{"ok", false}, {"error", "a sync once did not finish"}, {"pairings", results}};
  return json{{"ok", true}, {"pairings", results}};
}

json TestPeer::challenge(const std::string& uuid, const std::string& waitMs, const std::string& routes) {
  QoDevice::Ptr device = requireDevice(uuid);
  const int wait = std::stoi(waitMs);
  std::vector<std::string> endpoints;
  std::stringstream list(routes);
  for (std::string route; std::getline(list, route, ',');) endpoints.push_back(route);
  std::vector<std::string> outcomes(endpoints.size());
  std::vector<std::thread> asking;
  for (size_t i = 0; i < endpoints.size(); ++i) {
    asking.emplace_back([&, i] {
      std::string reason;
      const bool confirmed = QoEndpointChallenge::verify(device, endpoints[i], endpoints[i], wait, &reason);
      outcomes[i] = confirmed ? "confirmed" : reason;
    });
  }
  for (std::thread& thread : asking) thread.join();
  return json{{"ok", true}, {"outcomes", outcomes}};
}

json TestPeer::statusOf(const std::string& uuid) {
  const QoMessage::Ptr reply = QoClient::sendStatusRequestTo(requireDevice(uuid), QoClient::kOptionSync);
  return json{{"ok", reply != nullptr}};
}

json TestPeer::status() const {
  DataSource& dataSource = DataSource::sharedDataSource();
  json pairings = json::array();
  for (const auto& copy : QoSyncdirCopy::getSyncdirCopyInLocalDevice()) {
    for (const auto& relation : copy->getAllSyncdirCopyRelations()) {
      const auto& first = relation->firstSyncdirCopy();
      const auto& second = relation->secondSyncdirCopy();
      if (!first || !second || first->uuid() != copy->uuid()) continue;
      const std::string key = relation->relationHash();
      pairings.push_back(json{{"localTreeUuid", first->uuid()},
                              {"localPath", first->path()},
                              {"remoteTreeUuid", second->uuid()},
                              {"remoteDeviceUuid", second->device() ? second->device()->uuid() : std::string()},
                              {"maxUsn", dataSource.getSyncdirCopyMaxUsnWithRelaionKey(key)},
                              {"failedUsn", dataSource.getSyncdirCopyRelationFailedUsn(key)}});
    }
  }
  return json{{"ok", true},
              {"usn", dataSource.getCurrentUsn()},
              // Counted by the database: loading every record would cost the device its memory.
              {"records", QoFileAndSyncdirCopyRelation::count()},
              {"watches", Monitor::sharedMonitor()->watchCount()},
              {"pairings", pairings}};
}

}  // namespace velbor
