#include "platform/NotificationCenter.h"

#include <atomic>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace velbor {
namespace {

using Log = std::vector<std::string>;

TEST(NotificationCenterTest, MatchesByNameAndSenderInAddingOrder) {
  NotificationCenter center;
  Log log;
  int senderA = 0;
  int senderB = 0;
  center.addObserver("x", [&](const Notification&) { log.push_back("x"); });
  center.addObserver("", [&](const Notification& n) { log.push_back("all:" + n.name); });
  center.addObserver(
      "x", [&](const Notification&) { log.push_back("x-from-A"); }, &senderA);
  center.addObserver("y", [&](const Notification& n) { log.push_back("y:" + std::any_cast<std::string>(n.object)); });

  center.post("x", {}, &senderA);
  EXPECT_EQ(log, (Log{"x", "all:x", "x-from-A"}));
  log.clear();
  center.post("x", {}, &senderB);
  EXPECT_EQ(log, (Log{"x", "all:x"}));
  log.clear();
  center.post("y", std::string("payload"));
  EXPECT_EQ(log, (Log{"all:y", "y:payload"}));
}

TEST(NotificationCenterTest, ObserversMayChangeTheCenterDuringAPost) {
  NotificationCenter center;
  Log log;
  NotificationCenter::Token self = 0;
  NotificationCenter::Token later = 0;
  self = center.addObserver("n", [&](const Notification&) {
    log.push_back("self");
    center.removeObserver(self);
    center.removeObserver(later);
    center.addObserver("n", [&](const Notification&) { log.push_back("added"); });
  });
  later = center.addObserver("n", [&](const Notification&) { log.push_back("later"); });

  center.post("n");
  // Removed during the post: not called any more, even in this post; added: from the next post.
  EXPECT_EQ(log, (Log{"self"}));
  log.clear();
  center.post("n");
  EXPECT_EQ(log, (Log{"added"}));
  center.removeObserver(12345);  // unknown tokens are ignored
}

TEST(NotificationCenterTest, AFailingObserverDoesNotStopTheOthers) {
  NotificationCenter center;
  int calls = 0;
  center.addObserver("n", [](const Notification&) { throw std::runtime_error("observer failed"); });
  center.addObserver("n", [&](const Notification&) { ++calls; });
  EXPECT_NO_THROW(center.post("n"));
  EXPECT_EQ(calls, 1);
}

TEST(NotificationCenterTest, PostingWhileOtherThreadsAddAndRemove) {
  NotificationCenter center;
  std::atomic<int> calls{0};
  std::atomic<bool> stop{false};
  center.addObserver("n", [&](const Notification&) { ++calls; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      do {
        center.post("n");
      } while (!stop);
    });
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        auto token = center.addObserver(i % 2 ? "n" : "", [&](const Notification&) { ++calls; });
        center.removeObserver(token);
      }
    });
  }
  threads[1].join();
  threads[3].join();
  stop = true;
  threads[0].join();
  threads[2].join();
  EXPECT_GT(calls.load(), 0);
}

}  // namespace
}  // namespace velbor
