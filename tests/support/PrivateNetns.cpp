#include "support/PrivateNetns.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/AvahiNamespace.h"
#include "support/NetnsHolders.h"

namespace velbor::test {

PrivateNetns::PrivateNetns() {
  // A thread of its own makes the namespace, so the test's threads stay where they are.
  std::thread maker([this] {
    if (::unshare(CLONE_NEWNET) != 0) return;
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
    if (s >= 0) ::close(s);
    if (up) fd_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  });
  maker.join();
}

PrivateNetns::~PrivateNetns() {
  if (fd_ < 0) return;
  ino_t netns = NetnsHolders::identify(fd_);
  ::close(fd_);
  // The namespace has no name: with this descriptor closed, anything still holding it is
  // something the test left behind.
  for (const auto& holder : NetnsHolders::find(netns)) ADD_FAILURE() << "the namespace is still held: " << holder;
}

std::string PrivateNetns::readProc(const std::string& path) const {
  std::string text;
  std::thread reader([&] {
    NetnsScope inside(fd_);
    std::ifstream in(path);
    std::stringstream bytes;
    bytes << in.rdbuf();
    text = bytes.str();
  });
  reader.join();
  return text;
}

}  // namespace velbor::test
