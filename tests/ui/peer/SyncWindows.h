#pragma once

namespace velbor {

class MainWindow;
class UiDriver;

// Adds the commands of the sync pane and the windows it opens (sync-pair window, device
// selection, tree list, folder browser, local folder dialog). They act on widgets as a user
// does: rows are clicked and opened by their shown texts, buttons by object name through the
// driver's `click`.
void addSyncWindowCommands(UiDriver& driver, MainWindow& window);

}  // namespace velbor
