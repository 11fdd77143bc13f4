#include "e2e/E2eNetwork.h"

#include <unistd.h>

#include <cstdlib>

#include <fmt/format.h>

namespace velbor::test {

namespace {

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

E2eNetwork::E2eNetwork(int hosts) {
  // Unique per process, short enough for interface names (15 bytes).
  const int id = static_cast<int>(::getpid() % 100000);
  prefix_ = fmt::format("ve{}", id);
  switch_ = prefix_ + "s";
  const int net = id % 250 + 1;
  net_ = net;
  bool ok = run("ip netns add " + switch_) && run(fmt::format("ip -n {} link add br0 type bridge", switch_)) &&
            run(fmt::format("ip -n {} link set br0 up", switch_));
  for (int i = 0; ok && i < hosts; ++i) {
    const std::string host = fmt::format("{}h{}", prefix_, i);
    hosts_.push_back(host);
    addresses_.push_back(fmt::format("10.77.{}.{}", net, i + 1));
    ok = run("ip netns add " + host) &&
         run(fmt::format("ip link add {}p{} netns {} type veth peer name eth0 netns {}", prefix_, i, switch_, host)) &&
         run(fmt::format("ip -n {} link set {}p{} master br0 up", switch_, prefix_, i)) &&
         run(fmt::format("ip -n {} addr add 10.77.{}.{}/24 brd + dev eth0", host, net, i + 1)) &&
         run(fmt::format("ip -n {} link set lo up", host)) && run(fmt::format("ip -n {} link set eth0 up", host));
  }
  ready_ = ok;
}

bool E2eNetwork::limitRate(int index, const std::string& rate) {
  return run(fmt::format("ip netns exec {} tc qdisc add dev eth0 root tbf rate {} burst 64kb latency 400ms",
                         hosts_.at(index), rate));
}

bool E2eNetwork::setLinkUp(int index, bool up) {
  return run(fmt::format("ip -n {} link set eth0 {}", hosts_.at(index), up ? "up" : "down"));
}

bool E2eNetwork::readdress(int index, int number) {
  const std::string address = fmt::format("10.77.{}.{}", net_, number);
  const bool moved = run(fmt::format("ip -n {} addr del {}/24 dev eth0", hosts_.at(index), addresses_.at(index))) &&
                     run(fmt::format("ip -n {} addr add {}/24 brd + dev eth0", hosts_.at(index), address));
  if (moved) addresses_.at(index) = address;
  return moved;
}

E2eNetwork::~E2eNetwork() {
  for (const auto& host : hosts_) run("ip netns del " + host);
  run("ip netns del " + switch_);
}

}  // namespace velbor::test
