// The application's sync pane and the windows it opens, against a test peer: each device in
// a network namespace of its own, the windows on a virtual display with a tray host, the
// desktop's notification service and file manager as fakes on a private session bus. Sync
// pairs are made only through the windows (a folder chosen in the folder dialog, the other
// side's folder browsed in the device selection and folder browser), files sync and the pane
// shows their progress; a pairing and a tree are deleted through the pane.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "e2e/DesktopSessionBus.h"
#include "e2e/E2eNetwork.h"
#include "e2e/E2eSupport.h"
#include "e2e/E2eUiSupport.h"
#include "e2e/PeerProcess.h"
#include "e2e/XvfbDisplay.h"

namespace velbor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using std::chrono::seconds;

// With the peer's link at kPeerRate, its transfer shows in the pane for several seconds.
constexpr uint64_t kBigFileSize = 64ull << 20;
constexpr const char* kPeerRate = "64mbit";
// Slow enough that the file is still on its way when the test stops a side.
constexpr const char* kSlowPeerRate = "16mbit";

json ask(PeerProcess& ui, const std::string& line) { return ui.command(line); }

// Bytes that do not repeat in any short period: no layer can make them smaller.
void writeBigFile(const fs::path& path, uint64_t size) {
  std::ofstream out(path, std::ios::binary);
  std::vector<uint64_t> block(1 << 16);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (uint64_t written = 0; written < size; written += block.size() * sizeof(uint64_t)) {
    for (uint64_t& word : block) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    out.write(reinterpret_cast<const char*>(block.data()),
              static_cast<std::streamsize>(std::min<uint64_t>(size - written, block.size() * sizeof(uint64_t))));
  }
}

bool sameContent(const fs::path& a, const fs::path& b) {
  std::error_code error;
  if (!fs::is_regular_file(a, error) || !fs::is_regular_file(b, error)) return false;
  if (fs::file_size(a, error) != fs::file_size(b, error) || error) return false;
  std::ifstream left(a, std::ios::binary);
  std::ifstream right(b, std::ios::binary);
  std::vector<char> x(1 << 20);
  std::vector<char> y(1 << 20);
  while (left && right) {
    left.read(x.data(), static_cast<std::streamsize>(x.size()));
    right.read(y.data(), static_cast<std::streamsize>(y.size()));
    if (left.gcount() != right.gcount() || !std::equal(x.begin(), x.begin() + left.gcount(), y.begin())) return false;
  }
  return left.eof() && right.eof();
}

class E2eUiSyncTest : public E2eFixture {
 protected:
  // The pane's row: a tree row by its path, or that tree's pairing row by the remote path;
  // empty when the pane shows none.
  static json treeRow(PeerProcess& ui, const std::string& tree, const std::string& pairing = "") {
    const json answer = ask(ui, "tree-rows");
    if (!ok(answer)) return json::object();
    bool inTree = false;
    for (const json& row : answer["rows"]) {
      if (row.value("depth", -1) == 0) {
        inTree = row.value("title", "") == tree;
        if (inTree && pairing.empty()) return row;
      } else if (inTree && row.value("title", "") == pairing) {
        return row;
      }
    }
    return json::object();
  }

  // How many pairing rows the pane shows under a tree row; -1 without that tree row.
  static int pairingRows(PeerProcess& ui, const std::string& tree) {
    const json answer = ask(ui, "tree-rows");
    if (!ok(answer)) return -1;
    int count = -1;
    for (const json& row : answer["rows"]) {
      if (row.value("depth", -1) == 0) {
        if (count >= 0) return count;
        if (row.value("title", "") == tree) count = 0;
      } else if (count >= 0) {
        ++count;
      }
    }
    return count;
  }

  // The row of an item view at `depth` with `text`; empty when none is shown.
  static json item(PeerProcess& ui, const std::string& view, const std::string& text, int depth = -1) {
    const json answer = ask(ui, "items " + view);
    if (!ok(answer)) return json::object();
    for (const json& row : answer["rows"]) {
      if (row.value("text", "") == text && (depth < 0 || row.value("depth", -1) == depth)) return row;
    }
    return json::object();
  }

  static std::string shownText(PeerProcess& ui, const std::string& path) {
    return ask(ui, "text " + path).value("text", "");
  }

  static bool shows(PeerProcess& ui, const std::string& path, const std::string& text) {
    return eventually([&] { return shownText(ui, path) == text; }, seconds(30));
  }

  static bool windowShown(PeerProcess& ui, const std::string& name) {
    const json answer = ask(ui, "windows");
    for (const json& window : answer.value("windows", json::array())) {
      if (window.value("name", "") == name) return true;
    }
    return false;
  }

  static bool enabled(PeerProcess& ui, const std::string& path) {
    const json state = ask(ui, "text " + path);
    return state.value("visible", false) && state.value("enabled", false);
  }

  // The screen under one window.
  static void screenshot(PeerProcess& ui, const std::string& window, const std::string& name) {
    EXPECT_TRUE(ok(ask(ui, "screenshot-window " + window + " " + screenshotPath(name)))) << name;
  }

  static bool noticed(const DesktopSessionBus& bus, const std::string& line) {
    return eventually(
        [&] {
          const auto notices = bus.notices();
          return std::find(notices.begin(), notices.end(), line) != notices.end();
        },
        seconds(30));
  }

  static std::string noticesText(const DesktopSessionBus& bus) {
    std::string text;
    for (const std::string& line : bus.notices()) text += line + "\n";
    return text;
  }

  // Whether the stored pairing of `local` with `remote` is being pulled.
  static bool pulling(PeerProcess& ui, const fs::path& local, const fs::path& remote) {
    for (const json& pairing : storedCopy(ask(ui, "sync-status"), local.string()).value("pairings", json::array())) {
      if (pairing.value("second", "") == remote.string()) return pairing.value("pulling", false);
    }
    return false;
  }

  static bool noticedAny(const DesktopSessionBus& bus, const std::string& part) {
    const auto notices = bus.notices();
    return std::any_of(notices.begin(), notices.end(),
                       [&](const std::string& line) { return line.find(part) != std::string::npos; });
  }

  // A pull of a big file from b over a slow link, to this device's windows on a display of
  // their own with the desktop's services on a bus of their own.
  struct BigPull {
    explicit BigPull(E2eUiSyncTest& test)
        : homeUi(test.home("ui")),
          homeB(test.home("b")),
          logs(test.home("logs")),
          fromPeer(homeUi / "来自对端"),
          inbox(homeB / "共享" / "收件箱") {}

    XvfbDisplay display;
    DesktopSessionBus bus;
    E2eNetwork network{2};
    fs::path homeUi;
    fs::path homeB;
    std::string logs;
    fs::path fromPeer;
    fs::path inbox;
    std::unique_ptr<PeerProcess> ui;
    std::unique_ptr<PeerProcess> b;
  };

  // Starts both devices; this one trusts b and pairs `fromPeer` with b's `inbox` through the
  // windows; then a big file written on b is on its way: the pane shows its speed.
  void startBigPull(BigPull& pull, const std::vector<std::string>& uiOptions = {},
                    const std::vector<std::string>& bOptions = {}) {
    startPaired(pull, {}, uiOptions, bOptions);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(pull.network.limitRate(1, kSlowPeerRate));
    const fs::path staging = pull.homeB / "staging.bin";
    writeBigFile(staging, kBigFileSize);
    fs::rename(staging, pull.inbox / "大文件.bin");
    ASSERT_TRUE(eventually([&] { return inTransfer(pull); }, seconds(90))) << transferOf(pull);
  }

  // Starts both devices; this one trusts b and pairs `fromPeer` with b's `inbox` through the
  // windows, once `beforePairing` (if any) has done its part; none when it answers false.
  void startPaired(BigPull& pull, const std::function<bool()>& beforePairing = {},
                   const std::vector<std::string>& uiOptions = {}, const std::vector<std::string>& bOptions = {}) {
    ASSERT_TRUE(pull.bus.failure().empty()) << pull.bus.failure();
    ASSERT_TRUE(pull.network.ready());
    for (const fs::path& folder : {pull.fromPeer, pull.inbox}) fs::create_directories(folder);
    pull.ui = std::make_unique<PeerProcess>(
        uiPeerProgram(pull.display, pull.bus.address()), pull.network.host(0), pull.homeUi.string(),
        with(with(portOptions(), {"--token", "one", "--name", "界面"}), uiOptions), pull.logs + "/ui.log");
    pull.b = std::make_unique<PeerProcess>(
        pull.network.host(1), pull.homeB.string(),
        with(with(portOptions(), {"--token", "one", "--name", "乙", "--accept-trust"}), bOptions),
        pull.logs + "/b.log");
    PeerProcess& ui = *pull.ui;
    PeerProcess& b = *pull.b;
    const std::string me = ui.uuid();
    ASSERT_FALSE(me.empty()) << ui.readyLine().dump();
    ASSERT_TRUE(ok(ask(ui, "pane deviceController")));
    ASSERT_TRUE(eventually([&] { return cardIn(ui, b.uuid()).value("online", false) && listed(deviceIn(b, me)); }))
        << ask(ui, "cards").dump();
    ASSERT_TRUE(ok(ask(ui, "click " + b.uuid() + " trustButton")));
    ASSERT_TRUE(eventually([&] { return cardIn(ui, b.uuid()).value("status", -1) == 1; }, seconds(30)));
    ASSERT_TRUE(eventually([&] { return deviceIn(b, me).value("status", -1) == 1; }, seconds(30)));
    ASSERT_TRUE(ok(ask(ui, "pane synconce")));
    if (beforePairing && !beforePairing()) return;
    pairThroughWindows(ui, pull.fromPeer, "乙", {"共享", "收件箱"}, pull.inbox, false);
  }

  static bool inTransfer(BigPull& pull) { return transferOf(pull).find("，剩余") != std::string::npos; }

  // What the pairing row of a big pull shows of its transfer.
  static std::string transferOf(BigPull& pull) {
    return treeRow(*pull.ui, pull.fromPeer.string(), pull.inbox.string()).value("transfer", "");
  }

  // Clicks the pane's row at `row` (a tree path, or a tree path and a remote path), presses
  // delete and answers the alert, which must say `text`, with "确定".
  static void deleteThroughPane(PeerProcess& ui, const std::string& row, const std::string& text,
                                const std::string& shot) {
    ASSERT_TRUE(ok(ask(ui, "tree-click " + row)));
    ASSERT_TRUE(ok(ask(ui, "click delTreeButton")));
    json alert;
    ASSERT_TRUE(eventually([&] { return (alert = ask(ui, "alert")).value("open", false); }, seconds(20)));
    EXPECT_EQ(alert.value("text", ""), text);
    if (!shot.empty()) screenshot(ui, "deleteConfirmation", shot);
    ASSERT_TRUE(ok(ask(ui, "alert-answer 确定")));
  }

  // The stored local copy at `path` in a sync-status answer; empty when there is none.
  static json storedCopy(const json& status, const std::string& path) {
    for (const json& copy : status.value("copies", json::array())) {
      if (copy.value("path", "") == path) return copy;
    }
    return json::object();
  }

  // How many pairings the stored copy at `path` has; -1 without that copy.
  static int storedPairings(const json& status, const std::string& path) {
    const json copy = storedCopy(status, path);
    return copy.empty() ? -1 : static_cast<int>(copy.value("pairings", json::array()).size());
  }

  // Pairs `local` with a new tree at the folder reached by `browse` (folder titles from one of
  // the device's starting folders) on the device named `device`, only through the windows.
  // With `shots`, each window is photographed once it shows its choice.
  void pairThroughWindows(PeerProcess& ui, const fs::path& local, const std::string& device,
                          const std::vector<std::string>& browse, const fs::path& remoteRoot, bool shots) {
    ASSERT_TRUE(ok(ask(ui, "click addTreeButton")));
    ASSERT_TRUE(eventually([&] { return windowShown(ui, "SyncAddView"); }, seconds(20)));
    EXPECT_FALSE(enabled(ui, "SyncAddView okButton")) << "nothing is chosen yet";

    // The local folder, through the folder dialog.
    ASSERT_TRUE(ok(ask(ui, "click SyncAddView LocalButton")));
    json chosen;
    ASSERT_TRUE(eventually([&] { return ok(chosen = ask(ui, "choose-folder " + local.string())); }, seconds(30)))
        << chosen.dump();
    EXPECT_TRUE(shows(ui, "SyncAddView localTextField", local.string()));

    // The other side: the device, then a new tree made by browsing its folders.
    ASSERT_TRUE(ok(ask(ui, "click SyncAddView RemoteButton")));
    ASSERT_TRUE(eventually([&] { return windowShown(ui, "DeviceSelectView"); }, seconds(20)));
    ASSERT_TRUE(eventually([&] { return !item(ui, "deviceOutline", device).empty(); }, seconds(30)))
        << ask(ui, "items deviceOutline").dump();
    ASSERT_TRUE(ok(ask(ui, "item-click deviceOutline " + device)));
    EXPECT_TRUE(shows(ui, "DeviceSelectView deviceTextField", device));
    const std::string newTree = "在“" + device + "”上创建新的同步目录";
    ASSERT_TRUE(eventually([&] { return !item(ui, "remoteTreeTable", newTree).empty(); }, seconds(30)));
    ASSERT_TRUE(ok(ask(ui, "item-click remoteTreeTable " + newTree)));
    ASSERT_TRUE(eventually([&] { return windowShown(ui, "RemoteTreeAddView"); }, seconds(20)));
    EXPECT_FALSE(enabled(ui, "RemoteTreeAddView treeAddOkButton")) << "no folder is chosen yet";
    std::string path;
    for (size_t i = 0; i < browse.size(); ++i) {
      path += " " + browse[i];
      ASSERT_TRUE(
          eventually([&] { return !item(ui, "folderOutline", browse[i], static_cast<int>(i)).empty(); }, seconds(30)))
          << browse[i] << ": " << ask(ui, "items folderOutline").dump();
      if (i + 1 < browse.size()) {
        ASSERT_TRUE(ok(ask(ui, "item-open folderOutline" + path)));
      }
    }
    ASSERT_TRUE(ok(ask(ui, "item-click folderOutline" + path)));
    EXPECT_TRUE(shows(ui, "RemoteTreeAddView pathTextField", remoteRoot.string()));
    EXPECT_TRUE(enabled(ui, "RemoteTreeAddView treeAddOkButton"));
    if (shots) screenshot(ui, "RemoteTreeAddView", "remote-browse-window.png");
    ASSERT_TRUE(ok(ask(ui, "click RemoteTreeAddView treeAddOkButton")));

    // The device makes the tree; the list reloads and chooses it without a click.
    EXPECT_TRUE(shows(ui, "DeviceSelectView syncdirTextField", remoteRoot.string()))
        << ask(ui, "items remoteTreeTable").dump();
    EXPECT_TRUE(item(ui, "remoteTreeTable", remoteRoot.string()).value("selected", false));
    EXPECT_FALSE(windowShown(ui, "RemoteTreeAddView"));
    if (shots) screenshot(ui, "DeviceSelectView", "device-select-window.png");
    ASSERT_TRUE(ok(ask(ui, "click DeviceSelectView deviceSelectOkButton")));
    EXPECT_TRUE(eventually([&] { return !windowShown(ui, "DeviceSelectView"); }, seconds(20)));

    // Both sides chosen: OK makes the pairing on both devices and the window closes.
    EXPECT_TRUE(shows(ui, "SyncAddView remoteTextField", remoteRoot.string()));
    EXPECT_EQ(shownText(ui, "SyncAddView deviceName"), device);
    EXPECT_FALSE(ask(ui, "text SyncAddView alertText").value("visible", true));
    ASSERT_TRUE(eventually([&] { return enabled(ui, "SyncAddView okButton"); }, seconds(20)));
    if (shots) screenshot(ui, "SyncAddView", "sync-pair-window.png");
    EXPECT_TRUE(storedCopy(ask(ui, "sync-status"), local.string()).empty()) << "nothing is saved before OK";
    ASSERT_TRUE(ok(ask(ui, "click SyncAddView okButton")));
    EXPECT_TRUE(eventually([&] { return !windowShown(ui, "SyncAddView"); }, seconds(60)))
        << shownText(ui, "SyncAddView statusBar");
    EXPECT_TRUE(eventually([&] { return !treeRow(ui, local.string(), remoteRoot.string()).empty(); }, seconds(30)))
        << ask(ui, "tree-rows").dump();
  }
};

TEST_F(E2eUiSyncTest, SyncPairsMadeWatchedAndDeletedThroughTheWindows) {
  XvfbDisplay display;
  if (!display.failure().empty()) GTEST_SKIP() << display.failure();
  DesktopSessionBus bus;
  ASSERT_TRUE(bus.failure().empty()) << bus.failure();
  E2eNetwork network(2);
  ASSERT_TRUE(network.ready());
  const fs::path homeUi = home("ui");
  const fs::path homeB = home("b");
  const fs::path localA = homeUi / "同步甲";
  const fs::path localB = homeUi / "同步乙";
  const fs::path fromPeer = homeUi / "来自对端";
  const fs::path inbox = homeB / "共享" / "收件箱";
  for (const fs::path& folder : {localA, localB, fromPeer, inbox}) fs::create_directories(folder);
  fs::create_directories(homeB / "共享" / "其他");
  const std::string logs = home("logs");
  PeerProcess ui(uiPeerProgram(display, bus.address()), network.host(0), homeUi.string(),
                 with(portOptions(), {"--token", "one", "--name", "界面"}), logs + "/ui.log");
  PeerProcess b(network.host(1), homeB.string(),
                with(portOptions(), {"--token", "one", "--name", "乙", "--accept-trust"}), logs + "/b.log");
  ASSERT_FALSE(ui.uuid().empty()) << ui.readyLine().dump();
  ASSERT_FALSE(b.uuid().empty());
  const std::string me = ui.uuid();

  // Trust, from the device pane; the peer takes the offer.
  ASSERT_TRUE(ok(ask(ui, "pane deviceController")));
  ASSERT_TRUE(eventually([&] { return cardIn(ui, b.uuid()).value("online", false) && listed(deviceIn(b, me)); }))
      << ask(ui, "cards").dump();
  ASSERT_TRUE(ok(ask(ui, "click " + b.uuid() + " trustButton")));
  ASSERT_TRUE(eventually([&] { return cardIn(ui, b.uuid()).value("status", -1) == 1; }, seconds(30)))
      << cardIn(ui, b.uuid()).dump();
  ASSERT_TRUE(eventually([&] { return deviceIn(b, me).value("status", -1) == 1; }, seconds(30)));

  // Local to local: a new tree made on this device by browsing its own folders.
  ASSERT_TRUE(ok(ask(ui, "pane synconce")));
  pairThroughWindows(ui, localA, "界面", {"同步乙"}, localB, false);
  if (HasFatalFailure()) return;
  EXPECT_FALSE(treeRow(ui, localB.string(), localA.string()).empty()) << "the mirror pairing shows too";
  writeFile(localA / "甲的文件.txt", "从甲到乙");
  EXPECT_TRUE(eventually([&] { return sameFile(localB / "甲的文件.txt", "从甲到乙"); }, seconds(60)));
  // Notices: the index run that found the file here, the pull that brought it there.
  EXPECT_TRUE(noticed(bus, localA.string() + "\t甲的文件.txt\\n本地 1 个文件已更新")) << noticesText(bus);
  EXPECT_TRUE(noticed(bus, localB.string() + "\t甲的文件.txt\\n1 个文件已同步")) << noticesText(bus);
  EXPECT_TRUE(eventually(
      [&] { return treeRow(ui, localB.string(), localA.string()).value("transfer", "").starts_with("同步完成于"); },
      seconds(30)))
      << treeRow(ui, localB.string(), localA.string()).dump();

  // Local to the peer, browsing the peer's folders; a big file comes from the peer and the
  // pane shows it on its way.
  pairThroughWindows(ui, fromPeer, "乙", {"共享", "收件箱"}, inbox, true);
  if (HasFatalFailure()) return;
  EXPECT_EQ(treeRow(ui, fromPeer.string(), inbox.string()).value("device", ""), "乙");
  ASSERT_TRUE(network.limitRate(1, kPeerRate));
  const fs::path staging = homeB / "staging.bin";
  writeBigFile(staging, kBigFileSize);
  fs::rename(staging, inbox / "大文件.bin");
  // Speed and time left show while the file comes; the photo is taken once the rows were
  // repainted with them and before the transfer ends.
  const auto inTransfer = [&] {
    return treeRow(ui, fromPeer.string(), inbox.string()).value("transfer", "").find("，剩余") != std::string::npos;
  };
  EXPECT_TRUE(eventually(inTransfer, seconds(90))) << treeRow(ui, fromPeer.string(), inbox.string()).dump();
  const int repaints = ask(ui, "tree-rows").value("repaints", 0);
  EXPECT_TRUE(eventually([&] { return ask(ui, "tree-rows").value("repaints", 0) > repaints; }, seconds(30)));
  screenshot(ui, "mainWindow", "sync-tree-transfer.png");
  EXPECT_TRUE(inTransfer()) << "the transfer ended before the photo: " << ask(ui, "tree-rows").dump();
  EXPECT_TRUE(eventually([&] { return sameContent(inbox / "大文件.bin", fromPeer / "大文件.bin"); }, seconds(120)));
  EXPECT_TRUE(noticed(bus, fromPeer.string() + "\t大文件.bin\\n1 个文件已同步")) << noticesText(bus);
  EXPECT_TRUE(eventually(
      [&] { return treeRow(ui, fromPeer.string(), inbox.string()).value("transfer", "").starts_with("同步完成于"); },
      seconds(30)))
      << treeRow(ui, fromPeer.string(), inbox.string()).dump();
  EXPECT_TRUE(noticed(bus, "乙\t上线了")) << noticesText(bus);

  // Show in the file manager: a double click on a tree row.
  ASSERT_TRUE(ok(ask(ui, "tree-double-click " + localA.string())));
  EXPECT_TRUE(eventually(
      [&] {
        const auto shown = bus.shownItems();
        return std::find(shown.begin(), shown.end(), "file://" + localA.string() + "\t") != shown.end();
      },
      seconds(30)))
      << (bus.shownItems().empty() ? "nothing shown" : bus.shownItems().front());

  // The pairing with the peer is deleted through the pane, after the alert: this device
  // pulls from the peer no more, while the pairing between its own folders still works. (The
  // pane deletes this device's pairing only; the peer keeps its mirror.)
  deleteThroughPane(ui, fromPeer.string() + " " + inbox.string(),
                    "是否要删除“" + fromPeer.string() + "”与\n设备“乙”上“" + inbox.string() + "”的同步关系？",
                    "delete-pairing-alert.png");
  EXPECT_TRUE(eventually([&] { return pairingRows(ui, fromPeer.string()) == 0; }, seconds(30)))
      << ask(ui, "tree-rows").dump();
  json status = ask(ui, "sync-status");
  EXPECT_EQ(storedPairings(status, fromPeer.string()), 0) << status.dump();
  writeFile(inbox / "删除后.txt", "不再同步");
  EXPECT_TRUE(usnSettles(b));
  writeFile(localA / "屏障一.txt", "仍然同步");
  EXPECT_TRUE(eventually([&] { return sameFile(localB / "屏障一.txt", "仍然同步"); }, seconds(60)));
  EXPECT_FALSE(fs::exists(fromPeer / "删除后.txt"));

  // Its tree is deleted too: the daemon watches it no more, so the peer (which still has its
  // mirror pairing) gets no more changes from it.
  int64_t watches = status.value("watches", int64_t{-1});
  deleteThroughPane(ui, fromPeer.string(), "是否要删除同步目录“" + fromPeer.string() + "”？", "");
  EXPECT_TRUE(eventually([&] { return treeRow(ui, fromPeer.string()).empty(); }, seconds(30)))
      << ask(ui, "tree-rows").dump();
  EXPECT_TRUE(eventually(
      [&] {
        status = ask(ui, "sync-status");
        return storedCopy(status, fromPeer.string()).empty() && status.value("watches", int64_t{-1}) < watches;
      },
      seconds(30)))
      << status.dump() << " (watches before: " << watches << ")";
  writeFile(fromPeer / "删除树后.txt", "不再同步");
  writeFile(localA / "屏障二.txt", "仍然同步");
  EXPECT_TRUE(eventually([&] { return sameFile(localB / "屏障二.txt", "仍然同步"); }, seconds(60)));
  EXPECT_FALSE(eventually([&] { return fs::exists(inbox / "删除树后.txt"); }, seconds(5)));

  // A tree with pairings both ways is deleted through the pane: its pairings go first, then
  // the tree; its rows and records go, and its folder is watched no more.
  watches = status.value("watches", int64_t{-1});
  deleteThroughPane(ui, localA.string(), "是否要删除同步目录“" + localA.string() + "”？", "");
  EXPECT_TRUE(eventually([&] { return treeRow(ui, localA.string()).empty() && pairingRows(ui, localB.string()) == 0; },
                         seconds(30)))
      << ask(ui, "tree-rows").dump();
  EXPECT_TRUE(eventually(
      [&] {
        status = ask(ui, "sync-status");
        return storedCopy(status, localA.string()).empty() && storedPairings(status, localB.string()) == 0 &&
               status.value("watches", int64_t{-1}) < watches;
      },
      seconds(30)))
      << status.dump() << " (watches before: " << watches << ")";
  writeFile(localA / "删除树后.txt", "不再同步");
  EXPECT_FALSE(eventually([&] { return fs::exists(localB / "删除树后.txt"); }, seconds(5)));

  expectQuitsCleanly(ui, logs + "/ui.log");
}

// The peer goes away in the middle of a pull: the row ends its transfer at once (not when the
// pull gives up), never says the pull completed, and the file that did not come is not
// announced as synced.
TEST_F(E2eUiSyncTest, APeerGoingAwayMidPullIsNotShownAsSynced) {
  BigPull pull(*this);
  if (!pull.display.failure().empty()) GTEST_SKIP() << pull.display.failure();
  startBigPull(pull);
  if (HasFatalFailure()) return;
  PeerProcess& ui = *pull.ui;

  EXPECT_TRUE(ok(pull.b->command("quit")));
  EXPECT_EQ(pull.b->waitExit(seconds(30)), 0);
  pull.b.reset();
  // The row ends the transfer while the pull still waits for the peer's answer.
  EXPECT_TRUE(eventually([&] { return transferOf(pull) == "有文件更新"; }, seconds(60))) << transferOf(pull);
  EXPECT_EQ(fileText(pull.logs + "/ui.log").find("Download timeout"), std::string::npos)
      << "the row waited for the pull to give up";

  // Once the pull gave up, a later local notice has come after its end.
  EXPECT_TRUE(eventually([&] { return !pulling(ui, pull.fromPeer, pull.inbox); }, seconds(180)));
  writeFile(pull.fromPeer / "later.txt", "after the pull");
  EXPECT_TRUE(noticed(pull.bus, pull.fromPeer.string() + "\tlater.txt\\n本地 1 个文件已更新")) << noticesText(pull.bus);
  EXPECT_FALSE(fs::exists(pull.fromPeer / "大文件.bin"));
  EXPECT_FALSE(noticedAny(pull.bus, "个文件已同步")) << noticesText(pull.bus);
  EXPECT_EQ(transferOf(pull), "有文件更新");
  expectQuitsCleanly(ui, pull.logs + "/ui.log");
}

// The peer falls silent in the middle of a pull, its link down for half a minute, then up
// again; later it is killed in the middle of a pull. Each time the row leaves the transfer
// display as soon as the pull gives the file up, and the pull waits no further for the silent
// peer; once the link is back, the pull is made again as soon as the peer can be heard.
TEST_F(E2eUiSyncTest, APeerFallingSilentMidPullEndsTheTransferAndIsPulledWhenHeardAgain) {
  BigPull pull(*this);
  if (!pull.display.failure().empty()) GTEST_SKIP() << pull.display.failure();
  // The application's own intervals: a device announces itself once a minute and is taken
  // offline after five silent minutes, so neither comes to help within the test's waits.
  const std::vector<std::string> intervals{"--broadcast-interval", "60", "--online-timeout", kLongOnlineTimeout};
  startBigPull(pull, intervals, intervals);
  if (HasFatalFailure()) return;
  const std::string log = pull.logs + "/ui.log";
  // The pull gives the file up (the log says so); the row then shows no transfer within 2 s,
  // and the pull has ended (measured here with the margin of a busy machine's polls).
  const auto givenUpAndShownAtOnce = [&](size_t timeoutsBefore, const std::string& how) {
    ASSERT_TRUE(eventually([&] { return timesIn(log, "Download timeout") > timeoutsBefore; }, seconds(60))) << how;
    const auto gaveUp = std::chrono::steady_clock::now();
    EXPECT_TRUE(
        eventually([&] { return !inTransfer(pull) && !pulling(*pull.ui, pull.fromPeer, pull.inbox); }, seconds(60)))
        << how << ": " << transferOf(pull);
    EXPECT_LT(std::chrono::steady_clock::now() - gaveUp, seconds(5)) << how << ": the row or the pull waited on";
    EXPECT_EQ(transferOf(pull), "有文件更新") << how;
  };

  ASSERT_TRUE(pull.network.setLinkUp(1, false));
  const auto linkDown = std::chrono::steady_clock::now();
  givenUpAndShownAtOnce(0, "link down");
  // The length of the outage is the scenario, not a wait for anything.
  std::this_thread::sleep_until(linkDown + seconds(30));
  ASSERT_TRUE(pull.network.setLinkUp(1, true));
  const auto linkUp = std::chrono::steady_clock::now();
  EXPECT_TRUE(eventually([&] { return inTransfer(pull); }, seconds(90))) << transferOf(pull);
  EXPECT_LT(std::chrono::steady_clock::now() - linkUp, seconds(15)) << "the pull waited after the link came back";

  pull.b->kill();
  givenUpAndShownAtOnce(timesIn(log, "Download timeout"), "killed");
  EXPECT_FALSE(fs::exists(pull.fromPeer / "大文件.bin"));
  EXPECT_FALSE(noticedAny(pull.bus, "个文件已同步")) << noticesText(pull.bus);
  expectQuitsCleanly(*pull.ui, log);
}

// Quitting in the middle of a pull: the file that did not come is not announced as synced.
TEST_F(E2eUiSyncTest, QuittingMidPullAnnouncesNothing) {
  BigPull pull(*this);
  if (!pull.display.failure().empty()) GTEST_SKIP() << pull.display.failure();
  startBigPull(pull);
  if (HasFatalFailure()) return;

  expectQuitsCleanly(*pull.ui, pull.logs + "/ui.log");
  // Whatever the program sent before it ended is on the bus before a notice sent after.
  const std::string notify = "env DBUS_SESSION_BUS_ADDRESS='" + pull.bus.address() +
                             "' gdbus call --session --dest org.freedesktop.Notifications --object-path "
                             "/org/freedesktop/Notifications --method org.freedesktop.Notifications.Notify -- "
                             "test 0 \"''\" afterwards done '[]' '{}' -1 >/dev/null";
  ASSERT_EQ(std::system(notify.c_str()), 0);
  EXPECT_TRUE(noticed(pull.bus, "afterwards\tdone")) << noticesText(pull.bus);
  EXPECT_FALSE(fs::exists(pull.fromPeer / "大文件.bin"));
  EXPECT_FALSE(noticedAny(pull.bus, "个文件已同步")) << noticesText(pull.bus);
}

// The sync folder's disk is unmounted while the program runs: the rows and a notice say so
// within seconds, whatever ends the folder's watch (the disk's last mount going, or only the
// mount table, where another mount still holds the disk), and once the disk is back the folder
// syncs again. Nothing of it is removed on the peer meanwhile.
TEST_F(E2eUiSyncTest, ASyncDiskUnmountedWhileRunningIsShownMissingUntilItIsBack) {
  BigPull pull(*this);
  if (!pull.display.failure().empty()) GTEST_SKIP() << pull.display.failure();
  const fs::path disk = pull.homeUi / "移动盘";
  const fs::path holder = pull.homeUi / "另一处";
  const fs::path image = fs::path(pull.logs) / "disk.img";
  const auto shell = [](const std::string& command) { return std::system(command.c_str()) == 0; };
  if (!shell(fmt::format("truncate -s 32M '{0}' && mkfs.ext4 -q -F '{0}' >/dev/null 2>&1", image.string()))) {
    GTEST_SKIP() << "no mkfs.ext4 here";
  }
  fs::create_directories(holder);
  pull.fromPeer = disk / "项目";
  // Mounted in the device's mount namespace only: no other process holds the disk.
  const auto inUi = [&](const std::string& command) {
    return shell(fmt::format("nsenter -t {} -m {}", pull.ui->pid(), command));
  };
  const auto seen = [&](const fs::path& path) {
    return fs::path(fmt::format("/proc/{}/root", pull.ui->pid())) / path.relative_path();
  };
  bool mounted = false;
  startPaired(pull, [&] {
    fs::remove(pull.fromPeer);
    mounted = inUi(fmt::format("mount -o loop '{}' '{}'", image.string(), disk.string()));
    return mounted && fs::create_directories(seen(pull.fromPeer));
  });
  if (!mounted) GTEST_SKIP() << "no loop-mounted ext4 here";
  if (HasFatalFailure()) return;
  PeerProcess& ui = *pull.ui;
  const std::string tree = pull.fromPeer.string();
  const std::string log = pull.logs + "/ui.log";
  writeFile(seen(pull.fromPeer) / "盘上.txt", "on the disk");
  ASSERT_TRUE(eventually([&] { return sameFile(pull.inbox / "盘上.txt", "on the disk"); }));

  const auto shownMissing = [&] {
    return treeRow(ui, tree).value("indexTitle", "") == "同步文件夹不在" &&
           treeRow(ui, tree, pull.inbox.string()).value("transfer", "") == "同步文件夹不在";
  };
  const auto missingNotices = [&] {
    const auto notices = pull.bus.notices();
    return std::count_if(notices.begin(), notices.end(),
                         [&](const std::string& line) { return line.starts_with("同步文件夹不在\t" + tree + "\\n"); });
  };
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "unmounted while another mount holds the disk" : "unmounted");
    const int round = held ? 2 : 1;
    const auto logged = [&](const std::string& what) { return timesIn(log, "syncdir(" + tree + ") is " + what); };
    const size_t missingBefore = logged("missing");
    const size_t backBefore = logged("back");
    if (held) {
      ASSERT_TRUE(inUi(fmt::format("mount --bind '{}' '{}'", disk.string(), holder.string())));
    }
    ASSERT_TRUE(inUi(fmt::format("umount '{}'", disk.string())));
    EXPECT_TRUE(eventually(shownMissing, seconds(5))) << ask(ui, "tree-rows").dump();
    EXPECT_TRUE(eventually([&] { return missingNotices() == round; }, seconds(5))) << noticesText(pull.bus);
    EXPECT_GT(logged("missing"), missingBefore);

    // Back: the rows say so, and changes both ways sync again.
    ASSERT_TRUE(inUi(held ? fmt::format("mount --bind '{}' '{}'", holder.string(), disk.string())
                          : fmt::format("mount -o loop '{}' '{}'", image.string(), disk.string())));
    // The row may be painted anew before the monitor's look: wait for the look's log line too.
    EXPECT_TRUE(eventually([&] { return logged("back") > backBefore; }, seconds(30)));
    EXPECT_TRUE(eventually([&] { return !treeRow(ui, tree).empty() && !shownMissing(); }, seconds(30)))
        << ask(ui, "tree-rows").dump();
    const std::string name = fmt::format("回来后{}.txt", round);
    writeFile(seen(pull.fromPeer) / name, "made here");
    EXPECT_TRUE(eventually([&] { return sameFile(pull.inbox / name, "made here"); }));
    writeFile(pull.inbox / ("对端" + name), "made there");
    EXPECT_TRUE(eventually([&] { return sameFile(seen(pull.fromPeer) / ("对端" + name), "made there"); }));
  }
  EXPECT_TRUE(sameFile(pull.inbox / "盘上.txt", "on the disk")) << "removed on the peer";
  EXPECT_FALSE(noticedAny(pull.bus, "\t#")) << "a notice of the disk's probe: " << noticesText(pull.bus);
  expectQuitsCleanly(ui, log);
}

}  // namespace
}  // namespace velbor::test
