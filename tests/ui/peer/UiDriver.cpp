#include "ui/peer/UiDriver.h"

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "core/state/QoConfig.h"
#include "ui/AppDelegate.h"
#include "ui/MainWindow.h"
#include "ui/SelectableToolbar.h"
#include "ui/SelectableToolbarItem.h"

namespace velbor {

namespace {

using nlohmann::json;

json ok(json fields = json::object()) {
  fields["ok"] = true;
  return fields;
}

QMessageBox* openAlert() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible()) return box;
    for (auto* box : widget->findChildren<QMessageBox*>()) {
      if (box->isVisible()) return box;
    }
  }
  return nullptr;
}

}  // namespace

UiDriver::UiDriver(AppDelegate& delegate, int answers) : delegate_(delegate), answers_(answers) { addWindowCommands(); }

void UiDriver::addCommand(const std::string& name, int arity, const std::string& usage, Handler handler) {
  commands_[name] = Command{arity, usage, std::move(handler)};
}

QWidget* UiDriver::widgetAt(const Arguments& path) {
  if (path.empty()) return nullptr;
  QWidget* found = nullptr;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (!top->isVisible()) continue;
    const QString first = QString::fromStdString(path[0]);
    found = top->objectName() == first ? top : top->findChild<QWidget*>(first);
    if (found != nullptr) break;
  }
  for (size_t i = 1; found != nullptr && i < path.size(); ++i) {
    found = found->findChild<QWidget*>(QString::fromStdString(path[i]));
  }
  return found != nullptr && found->isVisible() ? found : nullptr;
}

// The commands every window can use; one line each in this table.
void UiDriver::addWindowCommands() {
  addCommand("info", 0, "info: this device's uuid and name", [](const Arguments&) {
    const QoConfig& config = QoConfig::sharedQoConfig();
    return ok({{"uuid", config.deviceUuid()}, {"name", config.deviceName()}});
  });
  addCommand("pane", 1, "pane ID: shows the main window with the toolbar item ID selected", [this](const Arguments& a) {
    delegate_.showWindow();
    SelectableToolbarItem* item = delegate_.window()->toolbar()->itemWithIdentifier(QString::fromStdString(a[0]));
    if (item == nullptr) throw std::invalid_argument("no toolbar item " + a[0]);
    item->trigger();
    return ok();
  });
  addCommand("click", -1, "click NAME...: clicks the visible widget at that object-name path", [](const Arguments& a) {
    QWidget* widget = widgetAt(a);
    if (widget == nullptr) throw std::runtime_error("no visible widget at that path");
    if (!widget->isEnabled()) throw std::runtime_error("the widget is disabled");
    QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(std::min(8, widget->width() / 2), widget->height() / 2));
    return ok();
  });
  addCommand("alert", 0, "alert: the open message box's text and buttons", [](const Arguments&) {
    QMessageBox* box = openAlert();
    if (box == nullptr) return ok({{"open", false}});
    json buttons = json::array();
    for (QAbstractButton* button : box->buttons()) buttons.push_back(button->text().toStdString());
    return ok({{"open", true}, {"text", box->text().toStdString()}, {"buttons", buttons}});
  });
  addCommand("alert-answer", 1, "alert-answer TEXT: clicks the open message box's button TEXT", [](const Arguments& a) {
    QMessageBox* box = openAlert();
    if (box == nullptr) throw std::runtime_error("no message box is open");
    for (QAbstractButton* button : box->buttons()) {
      if (button->text().toStdString() == a[0]) {
        QTest::mouseClick(button, Qt::LeftButton);
        return ok();
      }
    }
    throw std::runtime_error("no such button");
  });
  addCommand("tray-menu", 0, "tray-menu: opens the status-bar item's menu under the item", [this](const Arguments&) {
    QSystemTrayIcon* item = delegate_.statusItem();
    const QRect at = item != nullptr ? item->geometry() : QRect();
    delegate_.statusMenu()->popup(at.isValid() ? at.bottomLeft() : QPoint(0, 0));
    return ok({{"trayVisible", item != nullptr && item->isSystemTrayAvailable()},
               {"x", at.x()},
               {"y", at.y()},
               {"width", at.width()},
               {"height", at.height()}});
  });
  addCommand("menu-close", 0, "menu-close: closes the status-bar item's menu", [this](const Arguments&) {
    delegate_.statusMenu()->hide();
    return ok();
  });
  addCommand("balloon", 0, "balloon: the texts of the status-bar item's message balloon while one shows",
             [](const Arguments&) {
               // Qt draws the tray's message as a top-level widget of its own class.
               json texts = json::array();
               for (QWidget* window : QApplication::topLevelWidgets()) {
                 if (!window->isVisible() || std::strcmp(window->metaObject()->className(), "QBalloonTip") != 0)
                   continue;
                 for (const QLabel* label : window->findChildren<QLabel*>()) {
                   if (!label->text().isEmpty()) texts.push_back(label->text().toStdString());
                 }
               }
               return ok({{"texts", texts}});
             });
  addCommand("screenshot", 1, "screenshot PATH: the whole screen as a PNG file", [](const Arguments& a) {
    QApplication::processEvents();
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
    if (shot.isNull() || !shot.save(QString::fromStdString(a[0]), "PNG")) throw std::runtime_error("not saved");
    return ok({{"width", shot.width()}, {"height", shot.height()}});
  });
  addCommand("screenshot-window", 2, "screenshot-window NAME PATH: the screen under one window as a PNG file",
             [](const Arguments& a) {
               QWidget* window = widgetAt({a[0]});
               if (window == nullptr) throw std::runtime_error("no visible window " + a[0]);
               window = window->window();
               QApplication::processEvents();
               const QRect frame = window->frameGeometry();
               const QPixmap shot =
                   QGuiApplication::primaryScreen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
               if (shot.isNull() || !shot.save(QString::fromStdString(a[1]), "PNG")) {
                 throw std::runtime_error("not saved");
               }
               return ok({{"width", shot.width()}, {"height", shot.height()}});
             });
  addCommand("quit", 0, "quit: closes the windows and ends the program", [](const Arguments&) {
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    return ok();
  });
  addCommand("help", 0, "help: every command's usage", [this](const Arguments&) {
    json usages = json::array();
    for (const auto& [name, command] : commands_) usages.push_back(command.usage);
    return ok({{"commands", usages}});
  });
}

json UiDriver::handle(const std::string& line) {
  std::istringstream words(line);
  std::string name;
  words >> name;
  Arguments arguments;
  for (std::string word; words >> word;) arguments.push_back(word);
  const auto found = commands_.find(name);
  if (found == commands_.end()) return json{{"ok", false}, {"error", "unknown command: " + name}};
  const Command& command = found->second;
  const bool fits = command.arity < 0 ? !arguments.empty() : arguments.size() == static_cast<size_t>(command.arity);
  if (!fits) return json{{"ok", false}, {"error", "usage: " + command.usage}};
  try {
    return command.handler(arguments);
  } catch (const std::exception& e) {
    return json{{"ok", false}, {"error", e.what()}};
  }
}

void UiDriver::writeLine(const json& line) const {
  const std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(answers_, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<size_t>(written);
  }
}

void UiDriver::listen() {
  input_ = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
  connect(input_, &QSocketNotifier::activated, this, &UiDriver::readInput);
}

void UiDriver::readInput() {
  char chunk[4096];
  const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
  if (got < 0 && errno == EINTR) return;
  if (got <= 0) {
    // End of input ends the program as quit does.
    input_->setEnabled(false);
    QCoreApplication::quit();
    return;
  }
  buffer_.append(chunk, static_cast<size_t>(got));
  for (size_t end; (end = buffer_.find('\n')) != std::string::npos;) {
    const std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    writeLine(handle(line));
  }
}

}  // namespace velbor
