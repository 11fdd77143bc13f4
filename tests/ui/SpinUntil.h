#pragma once

#include <QApplication>

#include <chrono>

namespace velbor::test {

// Spins the main loop until `done` holds, for 20 seconds at most; whether it holds.
template <class Done>
bool spinUntil(Done done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done() && std::chrono::steady_clock::now() < end) QApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

}  // namespace velbor::test
