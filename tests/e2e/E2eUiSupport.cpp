#include "e2e/E2eUiSupport.h"

#include <filesystem>

#ifndef VELBOR_UI_PEER
#error "VELBOR_UI_PEER must name the UI peer"
#endif
#ifndef VELBOR_SCREENSHOT_DIR
#error "VELBOR_SCREENSHOT_DIR must name the screenshot folder"
#endif

namespace velbor::test {

PeerProcess::Program uiPeerProgram(const XvfbDisplay& display) {
  return PeerProcess::Program{VELBOR_UI_PEER,
                              {"DISPLAY=" + display.display(), "XDG_RUNTIME_DIR=" + display.runtimeDirectory(),
                               "QT_QPA_PLATFORM=xcb", "DBUS_SESSION_BUS_ADDRESS=disabled:"}};
}

nlohmann::json cardIn(PeerProcess& ui, const std::string& uuid) {
  const nlohmann::json answer = ui.command("cards");
  if (!answer.is_object() || !answer.value("ok", false)) return nullptr;
  for (const auto& card : answer["cards"]) {
    if (card.value("uuid", "") == uuid) return card;
  }
  return nullptr;
}

std::string screenshotPath(const std::string& name) {
  std::error_code ignored;
  std::filesystem::create_directories(VELBOR_SCREENSHOT_DIR, ignored);
  return (std::filesystem::path(VELBOR_SCREENSHOT_DIR) / name).string();
}

}  // namespace velbor::test
