#include "e2e/E2eUiSupport.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "e2e/E2eSupport.h"

#ifndef VELBOR_UI_PEER
#error "VELBOR_UI_PEER must name the UI peer"
#endif
#ifndef VELBOR_SCREENSHOT_DIR
#error "VELBOR_SCREENSHOT_DIR must name the screenshot folder"
#endif

namespace velbor::test {

using nlohmann::json;

PeerProcess::Program uiPeerProgram(const XvfbDisplay& display, const std::string& sessionBus) {
  // libxkbcommon-x11 hands strndup a buffer without a terminating NUL (it stops at the
  // length): the strict string check would stop the program inside the X connection.
  // The leak check is off for this process only: at exit it reports libcrypto's own random
  // generator state (allocated at the first key generation, freed by libcrypto's exit
  // handler) after the windows' D-Bus and X threads have run; the widget tests keep it on.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asanOptions = std::string(asan != nullptr ? asan : "") + ":strict_string_checks=0:detect_leaks=0";
  return PeerProcess::Program{
      VELBOR_UI_PEER,
      {"DISPLAY=" + display.display(), "XDG_RUNTIME_DIR=" + display.runtimeDirectory(), "QT_QPA_PLATFORM=xcb",
       "DBUS_SESSION_BUS_ADDRESS=" + sessionBus, "ASAN_OPTIONS=" + asanOptions}};
}

nlohmann::json cardIn(PeerProcess& ui, const std::string& uuid) {
  const json answer = ui.command("cards");
  const json cards = answer.value("ok", false) ? answer.value("cards", json::array()) : json::array();
  for (const auto& card : cards) {
    if (card.is_object() && card.value("uuid", "") == uuid) return card;
  }
  return json::object();
}

bool ok(const json& answer) { return answer.is_object() && answer.value("ok", false); }

void expectQuitsCleanly(PeerProcess& ui, const std::string& logPath) {
  EXPECT_TRUE(ok(ui.command("quit")));
  const int status = ui.waitExit(std::chrono::seconds(30));
  const std::string log = fileText(logPath);
  EXPECT_EQ(status, 0) << log.substr(log.size() > 6000 ? log.size() - 6000 : 0);
}

std::string screenshotPath(const std::string& name) {
  std::error_code ignored;
  std::filesystem::create_directories(VELBOR_SCREENSHOT_DIR, ignored);
  return (std::filesystem::path(VELBOR_SCREENSHOT_DIR) / name).string();
}

}  // namespace velbor::test
