#include "framework/network/LoopbackSourceTable.h"

#include <arpa/inet.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace velbor {
namespace {

std::string text(const std::optional<in_addr>& address) {
  if (!address) return "none";
  char buffer[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &*address, buffer, sizeof buffer);
  return buffer;
}

// A host keeps one address over all its connections; with every address held, another host
// gets none until a host's last connection goes, and an address let go of is taken again last.
TEST(LoopbackSourceTableTest, HostsKeepTheirAddressAndShareNone) {
  LoopbackSourceTable table;
  const std::string first = text(table.take("10.0.0.1"));
  EXPECT_EQ(first, "127.1.0.0");
  EXPECT_EQ(text(table.take("10.0.0.1")), first);
  EXPECT_EQ(text(table.take("fe80::1")), "127.1.0.1");
  table.give("10.0.0.1");
  table.give("fe80::1");
  // Still held by its other connection; the one let go of is not taken again yet.
  EXPECT_EQ(text(table.take("10.0.0.1")), first);
  EXPECT_EQ(text(table.take("10.0.0.2")), "127.1.0.2");
  for (size_t i = 3; i < LoopbackSourceTable::kHosts; ++i) {
    ASSERT_TRUE(table.take("host-" + std::to_string(i)).has_value()) << i;
  }
  EXPECT_EQ(text(table.take("10.0.0.3")), "127.1.0.1");
  EXPECT_EQ(text(table.take("10.0.0.4")), "none");
  table.give("10.0.0.2");
  EXPECT_EQ(text(table.take("10.0.0.4")), "127.1.0.2");
}

}  // namespace
}  // namespace velbor
