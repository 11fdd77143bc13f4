#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "LoggerTestSupport.h"
#include "platform/DnsService.h"
#include "support/AvahiNamespace.h"

namespace velbor::test {
namespace {

constexpr int kLines = 10;

// Waits until a browse of the viewers' type in the namespace's daemon sees `name`.
bool browsable(const std::string& name) {
  bool seen = false;
  auto browser = DnsService::browse("_velborlog._tcp", "", [&](const DnsService::Found& found) {
    if (found.added && found.name == name) seen = true;
  });
  if (!browser) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!seen && std::chrono::steady_clock::now() < deadline) {
    pollfd p{browser->fd(), POLLIN, 0};
    if (::poll(&p, 1, 200) > 0 && !browser->process()) return false;
  }
  return seen;
}

TEST(LoggerBonjour, UsesTheViewerOfTheConfiguredNameAndIgnoresAnother) {
  if (auto why = AvahiNamespace::unavailable()) GTEST_SKIP() << "no Avahi in a namespace: " << *why;
  AvahiNamespace avahi;
  ASSERT_TRUE(avahi.ready()) << avahi.error();
  std::unique_ptr<TestViewer> other, wanted;
  {
    NetnsScope inside(avahi.netnsFd());
    other = std::make_unique<TestViewer>();
    wanted = std::make_unique<TestViewer>();
  }
  other->listen();
  wanted->listen();
  // The other viewer is there first, so a client that took any name would take it.
  auto otherService = DnsService::registerService("Another Viewer", "_velborlog._tcp", "", other->port(), nullptr);
  ASSERT_TRUE(otherService);
  ASSERT_TRUE(browsable("Another Viewer"));
  LoggerChild child({"bonjour", "velbor viewer", "-", std::to_string(kLines)}, avahi.netnsFd());
  ASSERT_TRUE(browsable("Another Viewer"));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  // Case aside, the same name as configured.
  auto wantedService = DnsService::registerService("Velbor Viewer", "_velborlog._tcp", "", wanted->port(), nullptr);
  ASSERT_TRUE(wantedService);

  ASSERT_TRUE(wanted->accept(30)) << "the client never connected to the viewer of its name";
  auto lines = expectedLines(kLines);
  auto messages = wanted->readUntil([&](const auto& got) { return hasAll(got, lines); }, 30);
  EXPECT_FALSE(wanted->malformed());
  EXPECT_TRUE(hasAll(messages, lines));
  EXPECT_FALSE(other->accept(0)) << "the viewer of another name was used";
  EXPECT_EQ(child.finish(), 0);
}

}  // namespace
}  // namespace velbor::test
