#include "core/entity/DiskSteps.h"

#include <atomic>

namespace velbor {
namespace {

std::atomic<DiskSteps::Hook*> installedHook{nullptr};

}  // namespace

void DiskSteps::passed(DiskStep step, const std::string& path) {
  if (Hook* hook = installedHook.load(std::memory_order_acquire)) hook->passed(step, path);
}

DiskSteps::ScopedHook::ScopedHook(Hook& hook) { installedHook.store(&hook, std::memory_order_release); }

DiskSteps::ScopedHook::~ScopedHook() { installedHook.store(nullptr, std::memory_order_release); }

}  // namespace velbor
