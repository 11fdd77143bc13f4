#include "core/utils/QoQueue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace velbor {
namespace {

TEST(QoQueueTest, FirstInFirstOutAndEmptyDequeueGivesNothing) {
  QoQueue<std::string> queue;
  EXPECT_FALSE(queue.dequeue().has_value());
  queue.enqueue("w1");
  queue.enqueue("w2");
  EXPECT_EQ(queue.dequeue(), "w1");
  queue.enqueue("w3");
  EXPECT_EQ(queue.count(), 2u);
  EXPECT_EQ(queue.dequeue(), "w2");
  EXPECT_EQ(queue.dequeue(), "w3");
  EXPECT_TRUE(queue.empty());
  EXPECT_FALSE(queue.dequeue().has_value());

  QoQueue<std::unique_ptr<int>> owned;
  owned.enqueue(std::make_unique<int>(4));
  auto head = owned.dequeue();
  ASSERT_TRUE(head && *head);
  EXPECT_EQ(**head, 4);
}

}  // namespace
}  // namespace velbor
