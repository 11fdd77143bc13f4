// The hostile side of bench/routermem.sh: floods one device's router over tcp, as a host on
// the LAN could, for a given number of seconds, then closes every connection and exits.
//
//   velbor_router_flood silent ENDPOINT DEVICE_UUID TREE_UUID PATH CONNECTIONS SECONDS
//     A trusted device that asks, on each connection, for 1 MiB parts of the file PATH of the
//     tree TREE_UUID and reads none of the answers. Run with HOME at that device's home and
//     with the name of the program that made it as argv[0] (the database is named after the
//     process): it signs with that device's key, and DEVICE_UUID, the attacked device, is
//     known there.
//   velbor_router_flood junk ENDPOINT CONNECTIONS SECONDS MIB
//     Hosts nobody trusts, each sending frames of MIB MiB without end.
//
// Prints one line: the requests or frames handed to ZeroMQ.
#include <zmq.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/entity/QoDevice.h"
#include "core/envelope/QoMessage.h"
#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "core/state/QoConfigDelegateLinux.h"
#include "framework/network/ZMQMessage.h"
#include "platform/AppPaths.h"
#include "proto/VelborProto.pb.h"

namespace {

using namespace velbor;
using Clock = std::chrono::steady_clock;

void setInt(void* socket, int option, int value) { zmq_setsockopt(socket, option, &value, sizeof value); }

// Connections that read as little as ZeroMQ and the system allow.
std::vector<void*> connect(void* context, const std::string& endpoint, int count) {
  std::vector<void*> sockets;
  for (int i = 0; i < count; ++i) {
    void* socket = zmq_socket(context, ZMQ_DEALER);
    setInt(socket, ZMQ_RCVHWM, 1);
    setInt(socket, ZMQ_RCVBUF, 64 * 1024);
    setInt(socket, ZMQ_SNDHWM, 1000);
    setInt(socket, ZMQ_LINGER, 0);
    zmq_connect(socket, endpoint.c_str());
    sockets.push_back(socket);
  }
  return sockets;
}

// Frames of a part request sealed by this home's device for `deviceUuid`, with the empty
// frame a DEALER sends first.
std::vector<std::string> partRequest(const std::string& deviceUuid, const std::string& treeUuid,
                                     const std::string& path) {
  AppPaths::setApplicationName("Velbor");
  DataSource::sharedDataSource().dbCheck();
  QoConfig& config = QoConfig::sharedQoConfig();
  config.setConfigDelegate(std::make_shared<QoConfigDelegateLinux>());
  config.configInit();
  QoDevice::Ptr target = QoDevice::getDeviceWithUuid(deviceUuid);
  if (!target) throw std::runtime_error("unknown device " + deviceUuid);
  auto body = std::make_shared<pb::MsgGetRequest>();
  body->set_transfer(1);
  body->set_tree_uuid(treeUuid);
  body->set_path(path);
  body->mutable_part()->set_offset(0);
  body->mutable_part()->set_length(0x100000);
  auto message = QoMessage::qoMessageWithMsgCode(pb::MsgCodeGetRequest, body);
  message->setLevel(QoMessage::kLevelAuth);
  message->setSrcDevice(QoDevice::getDeviceLocal());
  message->setDestDevice(target);
  ZMQMessage frames = message->getSendZMQMessage();
  std::vector<std::string> list{""};
  while (auto frame = frames.getNextFrame()) list.push_back(*frame);
  return list;
}

// Sends `frames` as one message on `socket` without waiting; false when its queue is full.
bool sendOnce(void* socket, const std::vector<zmq_msg_t*>& frames) {
  for (size_t i = 0; i < frames.size(); ++i) {
    zmq_msg_t copy;
    zmq_msg_init(&copy);
    zmq_msg_copy(&copy, frames[i]);
    const int flags = ZMQ_DONTWAIT | (i + 1 < frames.size() ? ZMQ_SNDMORE : 0);
    if (zmq_msg_send(&copy, socket, flags) < 0) {
      zmq_msg_close(&copy);
      // A multipart message is taken whole or not at all once its first frame went.
      return false;
    }
  }
  return true;
}

long flood(void* context, const std::string& endpoint, int connections, int seconds,
           const std::vector<std::string>& message) {
  std::vector<zmq_msg_t*> frames;
  for (const std::string& text : message) {
    auto* frame = new zmq_msg_t;
    zmq_msg_init_size(frame, text.size());
    if (!text.empty()) std::memcpy(zmq_msg_data(frame), text.data(), text.size());
    frames.push_back(frame);
  }
  std::vector<void*> sockets = connect(context, endpoint, connections);
  long sent = 0;
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    bool any = false;
    for (void* socket : sockets) {
      if (sendOnce(socket, frames)) {
        ++sent;
        any = true;
      }
    }
    // Kept full, never spinning.
    if (!any) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (void* socket : sockets) zmq_close(socket);
  for (zmq_msg_t* frame : frames) {
    zmq_msg_close(frame);
    delete frame;
  }
  return sent;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    void* context = zmq_ctx_new();
    long sent = 0;
    if (args.size() == 7 && args[0] == "silent") {
      const auto request = partRequest(args[2], args[3], args[4]);
      sent = flood(context, args[1], std::stoi(args[5]), std::stoi(args[6]), request);
      std::printf("requests %ld\n", sent);
    } else if (args.size() == 5 && args[0] == "junk") {
      const size_t bytes = std::stoul(args[4]) * 1024 * 1024;
      sent = flood(context, args[1], std::stoi(args[2]), std::stoi(args[3]), {"", std::string(bytes, 'j')});
      std::printf("frames %ld\n", sent);
    } else {
      std::fprintf(stderr, "usage: see the head of bench/RouterFlood.cpp\n");
      return 2;
    }
    zmq_ctx_term(context);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "router flood failed: %s\n", e.what());
    return 1;
  }
}
