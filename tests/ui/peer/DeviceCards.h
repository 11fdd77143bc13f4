#pragma once

#include <nlohmann/json.hpp>

namespace velbor {

class QoDeviceController;

// The device pane's cards in display order: each card's device, texts and which controls show.
nlohmann::json deviceCards(const QoDeviceController& pane);

}  // namespace velbor
