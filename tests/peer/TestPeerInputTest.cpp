// The test peer's command line on standard input: whatever comes in, each line gets one JSON
// answer and the peer keeps running.

#include <gtest/gtest.h>

#include <string>

#include "e2e/PeerProcess.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

TEST(TestPeerInputTest, BadCommandsAreAnsweredAndThePeerKeepsRunning) {
  TempDir home;
  // No token: nothing is broadcast; ephemeral ports, so runs in parallel do not collide.
  PeerProcess peer("", home.str(), {"--router-port", "0", "--publisher-port", "0", "--udp-port", "0"});
  ASSERT_TRUE(peer.readyLine().is_object()) << "no ready line";

  const std::string invalidUtf8 = "\xff\xfe\xc3";
  for (const std::string& line :
       {"bogus" + invalidUtf8, "tree-add /tmp/" + invalidUtf8, "trust " + invalidUtf8, std::string("trust"),
        std::string("pair a b"), std::string("info extra"), std::string("trust not-a-uuid"),
        std::string("pair relative x y"), std::string(70000, 'x'), std::string("\x01\x02 \x7f"), std::string("offer"),
        std::string("trust-answer not-a-uuid agree"), std::string("trust-answer x maybe"),
        std::string("trust-cancel not-a-uuid"), std::string("distrust not-a-uuid")}) {
    const nlohmann::json answer = peer.command(line);
    ASSERT_FALSE(answer.empty()) << "no answer to a line of " << line.size() << " bytes";
    EXPECT_EQ(answer.value("ok", true), false);
    EXPECT_FALSE(answer.value("error", "").empty());
  }
  const nlohmann::json info = peer.command("info");
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.value("ok", false), true);
  EXPECT_EQ(info.value("uuid", ""), peer.uuid());
  EXPECT_EQ(peer.command("quit").value("ok", false), true);
  EXPECT_EQ(peer.waitExit(std::chrono::seconds(30)), 0);
}

}  // namespace
}  // namespace velbor::test
