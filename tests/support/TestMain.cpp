#include <csignal>
#include <cstdlib>

#include <gtest/gtest.h>

// Every test process starts with a private HOME (see TempDir) and with SIGPIPE ignored,
// as the program itself runs.
int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("XDG_DATA_HOME");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
