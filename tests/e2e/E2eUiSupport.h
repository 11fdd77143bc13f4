#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "e2e/PeerProcess.h"
#include "e2e/XvfbDisplay.h"

namespace velbor::test {

// velbor_ui_peer (the application's windows driven by JSON-line commands) on `display`,
// on the session bus at `sessionBus` (by default none).
PeerProcess::Program uiPeerProgram(const XvfbDisplay& display, const std::string& sessionBus = "disabled:");

// The device card for `uuid` in the UI peer's device pane; an empty object when it has none
// (listed() tells), so that asking it for a value gives the default.
nlohmann::json cardIn(PeerProcess& ui, const std::string& uuid);

// Whether a peer's answer says it did what it was told.
bool ok(const nlohmann::json& answer);

// Tells the UI peer to quit and expects a clean exit; else shows the end of its log.
void expectQuitsCleanly(PeerProcess& ui, const std::string& logPath);

// Where screenshots go (under the build folder, never committed); the folder is made.
std::string screenshotPath(const std::string& name);

}  // namespace velbor::test
