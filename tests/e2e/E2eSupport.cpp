#include "e2e/E2eSupport.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace velbor::test {

namespace fs = std::filesystem;
using nlohmann::json;

void E2eFixture::SetUp() {
  if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
}

std::string E2eFixture::home(const std::string& name) {
  const fs::path path = root_.path() / name;
  fs::create_directories(path);
  return path.string();
}

E2eFixture::TwoHomes E2eFixture::twoHomes() {
  TwoHomes homes;
  homes.homeA = home("a");
  homes.homeB = home("b");
  homes.folderA = syncFolderIn(homes.homeA);
  homes.folderB = syncFolderIn(homes.homeB);
  return homes;
}

bool eventually(const std::function<bool()>& done, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return done();
}

fs::path syncFolderIn(const std::string& home) {
  const fs::path folder = fs::path(home) / "sync";
  fs::create_directories(folder);
  return folder;
}

std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t timesIn(const fs::path& path, const std::string& text) {
  const std::string whole = fileText(path);
  size_t count = 0;
  for (size_t at = whole.find(text); at != std::string::npos; at = whole.find(text, at + 1)) ++count;
  return count;
}

bool sameFile(const fs::path& path, const std::string& text) {
  std::error_code error;
  return fs::is_regular_file(path, error) && fileText(path) == text;
}

fs::perms permsOf(const fs::path& path) {
  std::error_code error;
  return fs::status(path, error).permissions() & fs::perms::all;
}

bool runInNamespace(const std::string& netns, const std::function<void()>& job) {
  bool entered = false;
  std::thread([&] {
    const int ns = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0) return;
    entered = ::setns(ns, CLONE_NEWNET) == 0;
    ::close(ns);
    if (!entered) return;
    try {
      job();
    } catch (const std::exception&) {
      entered = false;
    }
  }).join();
  return entered;
}

std::vector<std::string> portOptions() {
  return {"--router-port",        "29527", "--publisher-port", "29526", "--udp-port", "29525",
          "--broadcast-interval", "1",     "--online-timeout", "6"};
}

std::vector<std::string> with(std::vector<std::string> options, const std::vector<std::string>& more) {
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

json deviceIn(PeerProcess& peer, const std::string& uuid) {
  const json answer = peer.command("devices");
  const json devices = answer.value("ok", false) ? answer.value("devices", json::array()) : json::array();
  for (const auto& device : devices) {
    if (device.is_object() && device.value("uuid", "") == uuid) return device;
  }
  return json::object();
}

bool listed(const json& entry) { return entry.is_object() && !entry.empty(); }

::testing::AssertionResult trustEachOther(PeerProcess& a, PeerProcess& b) {
  if (!eventually([&] { return listed(deviceIn(a, b.uuid())); }))
    return ::testing::AssertionFailure() << "b never listed";
  const json offer = a.command("trust " + b.uuid());
  if (offer.value("result", "") != "accepted") return ::testing::AssertionFailure() << "trust: " << offer.dump();
  // b marks a trusted when a's acceptance reaches it back, which may come after a's answer.
  if (!eventually([&] { return deviceIn(b, a.uuid()).value("status", -1) == 1; }))
    return ::testing::AssertionFailure() << "b never trusted a";
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult pairFolder(PeerProcess& peer, const fs::path& local, const std::string& uuid,
                                      const fs::path& remote) {
  const json paired = peer.command("pair " + local.string() + " " + uuid + " " + remote.string());
  if (!paired.value("ok", false)) return ::testing::AssertionFailure() << "pair: " << paired.dump();
  return ::testing::AssertionSuccess();
}

int64_t usnOf(PeerProcess& peer) {
  json answer = peer.command("status");
  return answer.is_object() ? answer.value("usn", int64_t{-1}) : -1;
}

bool usnSettles(PeerProcess& peer) {
  int64_t last = usnOf(peer);
  for (int round = 0; round < 30; ++round) {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const int64_t now = usnOf(peer);
    if (now == last) return true;
    last = now;
  }
  return false;
}

}  // namespace velbor::test
