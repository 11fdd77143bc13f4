#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velbor {

class AppDelegate;

// Drives the application's windows from standard input, one command a line, each answered
// by one JSON line ({"ok":true,...} or {"ok":false,"error":"..."}) on the answer descriptor.
// Commands act on widgets by object name, as a user would, on the main thread.
// Windows add their own commands with addCommand.
class UiDriver : public QObject {
  Q_OBJECT

 public:
  using Arguments = std::vector<std::string>;
  using Handler = std::function<nlohmann::json(const Arguments&)>;

  UiDriver(AppDelegate& delegate, int answers);

  // `arity` is the exact number of words after the command, or -1 for one or more.
  void addCommand(const std::string& name, int arity, const std::string& usage, Handler handler);
  nlohmann::json handle(const std::string& line);
  void writeLine(const nlohmann::json& line) const;
  // Reads standard input from the main loop; ends the loop on `quit` or end of input.
  void listen();

  // The visible widget at the end of a path of object names, each found under the one
  // before (the first under any top-level window); null when there is none.
  static QWidget* widgetAt(const Arguments& path);

 private:
  struct Command {
    int arity;
    std::string usage;
    Handler handler;
  };
  void addWindowCommands();
  void readInput();

  AppDelegate& delegate_;
  int answers_;
  std::map<std::string, Command> commands_;
  QSocketNotifier* input_ = nullptr;
  std::string buffer_;
};

}  // namespace velbor
