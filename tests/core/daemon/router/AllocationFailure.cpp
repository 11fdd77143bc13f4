#include "AllocationFailure.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace velbor::test {

namespace {
std::atomic<bool> armed{false};
std::atomic<pthread_t> starvedThread{};
std::atomic<int> refused{0};

bool refusesHere() {
  if (!armed.load(std::memory_order_acquire)) return false;
  if (!pthread_equal(starvedThread.load(), pthread_self())) return false;
  refused.fetch_add(1);
  return true;
}

void* allocate(std::size_t size) {
  if (refusesHere()) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
}  // namespace

void AllocationFailure::armOnThisThread() {
  starvedThread.store(pthread_self());
  armed.store(true, std::memory_order_release);
}

void AllocationFailure::disarm() { armed.store(false, std::memory_order_release); }

int AllocationFailure::refusals() { return refused.load(); }

}  // namespace velbor::test

// The plain forms go through malloc and free, so that ASan still sees every block; the
// aligned forms stay the runtime's own.
void* operator new(std::size_t size) { return velbor::test::allocate(size); }
void* operator new[](std::size_t size) { return velbor::test::allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return velbor::test::allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return velbor::test::allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
