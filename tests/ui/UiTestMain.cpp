#include <sys/stat.h>

#include <QApplication>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

// Widget tests run on Qt's offscreen platform, in one QApplication for the whole process,
// with a private runtime folder as Qt wants one.
int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  const std::string runtime =
      (std::filesystem::temp_directory_path() / ("velbor-ui-" + std::to_string(::getpid()))).string();
  std::filesystem::create_directories(runtime);
  ::chmod(runtime.c_str(), 0700);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(runtime, ignored);
  return result;
}
