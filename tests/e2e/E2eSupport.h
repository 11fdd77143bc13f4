#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "e2e/PeerProcess.h"
#include "support/TempDir.h"

namespace velbor::test {

// Skips without root (namespaces need it); gives each device a HOME of its own.
class E2eFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  // A fresh folder for one device's HOME.
  std::string home(const std::string& name);
  // HOMEs for devices "a" and "b", each with its folder "sync".
  struct TwoHomes {
    std::string homeA;
    std::string homeB;
    std::filesystem::path folderA;
    std::filesystem::path folderB;
  };
  TwoHomes twoHomes();

  TempDir root_;
};

// Exit tests: silence for this long makes a device offline, far longer than their waits, so
// only the exit notice can explain an offline mark within them; and their bound against a
// hung test, an order of magnitude inside that time-out.
inline constexpr const char* kLongOnlineTimeout = "300";
inline constexpr std::chrono::seconds kNoticeBound{30};

// Polls until `done` holds; bounded so that a fault fails the test instead of hanging it.
bool eventually(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60));

// The file's content; empty when it cannot be read (it may go away while a test polls).
std::string fileText(const std::filesystem::path& path);
// How often `text` stands in the file (a log) now.
size_t timesIn(const std::filesystem::path& path, const std::string& text);
// A regular file with exactly this content.
bool sameFile(const std::filesystem::path& path, const std::string& text);
std::filesystem::perms permsOf(const std::filesystem::path& path);
// Makes the folder "sync" in `home` and gives its path.
std::filesystem::path syncFolderIn(const std::string& home);

// Runs `job` on a thread of its own that has entered the named network namespace (entering
// changes only the calling thread); sockets it makes stay in that namespace. False when the
// namespace cannot be entered (and `job` does not run) or `job` raised.
bool runInNamespace(const std::string& netns, const std::function<void()>& job);

// The ports every device of a test uses (each in its own namespace), a short broadcast
// interval and online time-out.
std::vector<std::string> portOptions();
std::vector<std::string> with(std::vector<std::string> options, const std::vector<std::string>& more);

// The entry for `uuid` in the peer's device list; an empty object when absent (or no list came),
// so that asking it for a value gives the default.
nlohmann::json deviceIn(PeerProcess& peer, const std::string& uuid);
// Whether deviceIn or cardIn found an entry.
bool listed(const nlohmann::json& entry);
// a, once it lists b, offers b its trust; b (started with --accept-trust) agrees and marks a trusted.
::testing::AssertionResult trustEachOther(PeerProcess& a, PeerProcess& b);
// The peer pairs its folder `local` with the folder `remote` of the device `uuid`.
::testing::AssertionResult pairFolder(PeerProcess& peer, const std::filesystem::path& local, const std::string& uuid,
                                      const std::filesystem::path& remote);
int64_t usnOf(PeerProcess& peer);
// The usn holds still over a few seconds: nothing echoes back and forth.
bool usnSettles(PeerProcess& peer);

}  // namespace velbor::test
