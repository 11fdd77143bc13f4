// The support's look-ups never throw on an entry that is not listed yet, an answer that did
// not come or one that is not an object: tests poll them while devices come and go.
#include <gtest/gtest.h>

#include "e2e/E2eSupport.h"
#include "e2e/E2eUiSupport.h"
#include "support/TempDir.h"

namespace velbor::test {
namespace {

// A stand-in peer: a ready line, empty lists, a garbled answer to anything else, and silence
// after "quit".
const char* const kScript =
    "echo '{\"uuid\":\"stand-in\"}'; while read line; do case \"$line\" in "
    "devices) echo '{\"ok\":true,\"devices\":[{\"uuid\":\"other\",\"status\":1}]}';; "
    "cards) echo '{\"ok\":true,\"cards\":null}';; "
    "quit) exit 0;; "
    "*) echo 'not json';; esac; done";

TEST(E2eSupportTest, EntriesNotListedAndMissingAnswersReadAsDefaults) {
  TempDir home;
  PeerProcess peer(PeerProcess::Program{"/bin/sh", {}}, "", home.path().string(), {"-c", kScript});
  ASSERT_EQ(peer.uuid(), "stand-in");

  EXPECT_EQ(deviceIn(peer, "other").value("status", -1), 1);
  EXPECT_TRUE(listed(deviceIn(peer, "other")));
  EXPECT_EQ(deviceIn(peer, "absent").value("status", -1), -1);
  EXPECT_FALSE(listed(deviceIn(peer, "absent")));
  EXPECT_FALSE(cardIn(peer, "other").value("online", false));
  EXPECT_FALSE(listed(cardIn(peer, "other")));
  EXPECT_FALSE(peer.command("garbled").value("ok", false));
  EXPECT_FALSE(ok(peer.command("garbled")));

  peer.command("quit", std::chrono::seconds(1));
  ASSERT_EQ(peer.waitExit(std::chrono::seconds(30)), 0);
  EXPECT_FALSE(peer.command("devices", std::chrono::seconds(1)).value("ok", false));
  EXPECT_FALSE(listed(deviceIn(peer, "other")));
  EXPECT_EQ(deviceIn(peer, "other").value("status", -1), -1);
}

}  // namespace
}  // namespace velbor::test
