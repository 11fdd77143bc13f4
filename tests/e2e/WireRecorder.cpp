#include "e2e/WireRecorder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <future>

namespace velbor::test {
namespace {

constexpr size_t kGreetingBytes = 64;
constexpr unsigned char kMore = 0x01;
constexpr unsigned char kLong = 0x02;
constexpr unsigned char kCommand = 0x04;

// One connection's bytes, from its first recorded segment on, overlaps (resent segments) once.
std::string joined(const std::map<uint32_t, std::string>& segments) {
  std::string stream;
  if (segments.empty()) return stream;
  const uint32_t start = segments.begin()->first;
  for (const auto& [seq, payload] : segments) {
    const size_t at = seq - start;
    if (at > stream.size()) break;  // a gap: what follows was not seen
    if (at + payload.size() > stream.size()) stream += payload.substr(stream.size() - at);
  }
  return stream;
}

// The messages of one ZMTP 3 stream after its greeting; commands are left out.
std::vector<WireRecorder::Frames> messagesOf(const std::string& stream) {
  std::vector<WireRecorder::Frames> messages;
  if (stream.size() < kGreetingBytes || static_cast<unsigned char>(stream[0]) != 0xFF) return messages;
  WireRecorder::Frames current;
  size_t at = kGreetingBytes;
  while (at + 2 <= stream.size()) {
    const auto flags = static_cast<unsigned char>(stream[at]);
    uint64_t size = 0;
    size_t header = 2;
    if (flags & kLong) {
      header = 9;
      if (at + header > stream.size()) break;
      for (size_t i = 1; i < 9; ++i) size = (size << 8) | static_cast<unsigned char>(stream[at + i]);
    } else {
      size = static_cast<unsigned char>(stream[at + 1]);
    }
    if (at + header + size > stream.size()) break;
    std::string body = stream.substr(at + header, size);
    at += header + size;
    if (flags & kCommand) continue;
    current.push_back(std::move(body));
    if (!(flags & kMore)) {
      messages.push_back(std::move(current));
      current.clear();
    }
  }
  return messages;
}

}  // namespace

WireRecorder::WireRecorder(const std::string& netns, uint16_t port) : port_(port) {
  std::promise<bool> listening;
  std::future<bool> started = listening.get_future();
  thread_ = std::thread([this, netns, &listening] {
    const int fd = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) ::close(fd);
    const int capture = entered ? ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL)) : -1;
    listening.set_value(capture >= 0);
    if (capture < 0) return;
    unsigned char packet[65536];
    while (!stopping_) {
      pollfd item{capture, POLLIN, 0};
      if (::poll(&item, 1, 100) != 1) continue;
      sockaddr_ll from{};
      socklen_t length = sizeof from;
      const ssize_t count = ::recvfrom(capture, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length);
      // What the host sends (a socket for every protocol sees that), not what others send it
      // from the same port number.
      if (count > 0 && from.sll_pkttype == PACKET_OUTGOING && from.sll_protocol == htons(ETH_P_IP)) {
        take(packet, static_cast<size_t>(count));
      }
    }
    ::close(capture);
  });
  ready_ = started.get();
}

WireRecorder::~WireRecorder() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

void WireRecorder::take(const unsigned char* packet, size_t length) {
  if (length < sizeof(iphdr)) return;
  iphdr ip{};
  std::memcpy(&ip, packet, sizeof ip);
  const size_t ipBytes = ip.ihl * 4U;
  const size_t total = std::min<size_t>(length, ntohs(ip.tot_len) ? ntohs(ip.tot_len) : length);
  if (ip.protocol != IPPROTO_TCP || total < ipBytes + sizeof(tcphdr)) return;
  tcphdr tcp{};
  std::memcpy(&tcp, packet + ipBytes, sizeof tcp);
  const size_t tcpBytes = tcp.doff * 4U;
  if (ntohs(tcp.source) != port_ || total < ipBytes + tcpBytes) return;
  const std::string payload(reinterpret_cast<const char*>(packet + ipBytes + tcpBytes), total - ipBytes - tcpBytes);
  if (payload.empty()) return;
  std::lock_guard guard(lock_);
  segments_[{ip.daddr, ntohs(tcp.dest)}].emplace(ntohl(tcp.seq), payload);
}

std::vector<WireRecorder::Frames> WireRecorder::messages() {
  std::vector<Frames> all;
  std::lock_guard guard(lock_);
  for (const auto& [connection, segments] : segments_) {
    for (auto& message : messagesOf(joined(segments))) all.push_back(std::move(message));
  }
  return all;
}

}  // namespace velbor::test
