#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace velbor {

// Shows a file or folder in the desktop's file manager: the freedesktop FileManager1
// service's ShowItems on the session bus, or, when nobody owns that name (or the call
// fails), the folder opened through QDesktopServices. Never waits on the main thread.
class DesktopFileManager : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kService = "org.freedesktop.FileManager1";
  static constexpr const char* kPath = "/org/freedesktop/FileManager1";
  static constexpr int kCallTimeoutMs = 5000;

  // Told, on the main thread, that neither way could show the path.
  using Failed = std::function<void(const QString& path)>;

  // Must be called on the main thread; returns at once.
  static void showItem(const QString& path, Failed failed = {});

 private:
  static void openFallback(const QString& path, const Failed& failed);
  static void callShowItems(const QString& path, const Failed& failed);
};

}  // namespace velbor
