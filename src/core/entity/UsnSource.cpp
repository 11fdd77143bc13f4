#include "core/entity/UsnSource.h"

#include <mutex>
#include <utility>

#include "framework/errors/QoException.h"

namespace velbor {

namespace {

std::mutex installedMutex;

UsnSource& installedSource() {
  // Never destroyed: workers may still write records during exit.
  static auto* source = new UsnSource();
  return *source;
}

}  // namespace

UsnSource::UsnSource(Next getAutoUsn, FailedMark setSyncdirCopyRelationFailedUsn)
    : getAutoUsn_(std::move(getAutoUsn)),
      setSyncdirCopyRelationFailedUsn_(std::move(setSyncdirCopyRelationFailedUsn)) {}

int64_t UsnSource::getAutoUsn() const {
  if (!getAutoUsn_) throw QoException::defaultExceptionWithReason("no usn counter is installed");
  return getAutoUsn_();
}

void UsnSource::setSyncdirCopyRelationFailedUsn(const std::string& relationKey, int64_t usn) const {
  if (setSyncdirCopyRelationFailedUsn_) setSyncdirCopyRelationFailedUsn_(relationKey, usn);
}

void UsnSource::install(UsnSource source) {
  std::lock_guard lock(installedMutex);
  installedSource() = std::move(source);
}

UsnSource UsnSource::installed() {
  // A copy: the counter runs outside the lock, so it may take locks of its own.
  std::lock_guard lock(installedMutex);
  return installedSource();
}

}  // namespace velbor
