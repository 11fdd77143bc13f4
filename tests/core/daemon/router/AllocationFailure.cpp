#include "AllocationFailure.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace velbor::test {

namespace {
std::atomic<bool> armed{false};
std::atomic<pthread_t> starvedThread{};
std::atomic<int> refused{0};
// One failure on a thread by its name.
std::atomic<bool> onceArmed{false};
std::atomic<std::size_t> onceMinBytes{0};
char onceThreadName[16] = {};

bool failsOnceHere(std::size_t size) {
  if (!onceArmed.load(std::memory_order_acquire) || size < onceMinBytes.load()) return false;
  char name[16] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || std::strcmp(name, onceThreadName) != 0) {
    return false;
  }
  if (!onceArmed.exchange(false)) return false;
  refused.fetch_add(1);
  return true;
}

bool refusesHere() {
  if (!armed.load(std::memory_order_acquire)) return false;
  if (!pthread_equal(starvedThread.load(), pthread_self())) return false;
  refused.fetch_add(1);
  return true;
}

void* allocate(std::size_t size) {
  if (refusesHere() || failsOnceHere(size)) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
}  // namespace

void AllocationFailure::armOnThisThread() {
  starvedThread.store(pthread_self());
  armed.store(true, std::memory_order_release);
}

void AllocationFailure::failOnceOnThreadNamed(const char* threadName, std::size_t minBytes) {
  std::strncpy(onceThreadName, threadName, sizeof onceThreadName - 1);
  onceMinBytes.store(minBytes);
  onceArmed.store(true, std::memory_order_release);
}

void AllocationFailure::disarm() {
  armed.store(false, std::memory_order_release);
  onceArmed.store(false, std::memory_order_release);
}

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
