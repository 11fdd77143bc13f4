#include "ui/peer/DeviceCards.h"

#include "core/entity/QoDevice.h"
#include "ui/DeviceDisplayRecord.h"
#include "ui/DeviceView.h"
#include "ui/QoDeviceController.h"

namespace velbor {

nlohmann::json deviceCards(const QoDeviceController& pane) {
  nlohmann::json cards = nlohmann::json::array();
  for (const auto& record : pane.items()) {
    const DeviceDisplayRecord::Values v = record->values();
    if (!v.device) continue;
    const DeviceView* view = pane.viewFor(record);
    const bool visible = view != nullptr && view->isVisible();
    cards.push_back({{"uuid", v.device->uuid()},
                     {"name", v.device->name()},
                     {"status", v.device->status()},
                     {"online", v.device->isOnline()},
                     {"statusText", v.statusText.toStdString()},
                     {"bTitle", v.bTitle.toStdString()},
                     {"labelTitle", v.labelTitle.toStdString()},
                     {"trustButton", v.trustButtonDisplay},
                     {"waitInfo", v.waitInfoDisplay},
                     {"waitAuth", v.waitAuthDisplay},
                     {"waitAgree", v.waitAgreeDisplay},
                     {"waitValue", v.waitInfoValue},
                     {"waitMax", v.waitInfoMaxValue},
                     {"shown", record->isDeviceDisplay()},
                     {"visible", visible},
                     {"waiting", pane.isWaiting(v.device->uuid())},
                     {"tooltip", v.tooltip.toStdString()}});
  }
  return cards;
}

}  // namespace velbor
