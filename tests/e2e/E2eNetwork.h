#pragma once

#include <string>
#include <vector>

namespace velbor::test {

// Hosts on one LAN: a bridge in a "switch" namespace with one veth pair per host, each host
// its own named namespace with 10.77.<net>.<n>/24 (broadcast set). Everything is removed
// again by the destructor, whatever the test did.
class E2eNetwork {
 public:
  explicit E2eNetwork(int hosts);
  ~E2eNetwork();
  E2eNetwork(const E2eNetwork&) = delete;
  E2eNetwork& operator=(const E2eNetwork&) = delete;

  bool ready() const { return ready_; }
  const std::string& host(int index) const { return hosts_.at(index); }
  // What the host sends goes no faster than `rate` (as tc writes it, e.g. "64mbit"): a
  // slower LAN.
  bool limitRate(int index, const std::string& rate);
  // Takes the host's link down (its cable pulled: nothing in or out, its processes run on) or
  // up again.
  bool setLinkUp(int index, bool up);
  // The host's IPv4 address.
  const std::string& address(int index) const { return addresses_.at(index); }
  // Gives the host 10.77.<net>.<number> in place of its address, as a device that moves.
  bool readdress(int index, int number);

 private:
  int net_ = 0;
  std::string prefix_;
  std::string switch_;
  std::vector<std::string> hosts_;
  std::vector<std::string> addresses_;
  bool ready_ = false;
};

}  // namespace velbor::test
