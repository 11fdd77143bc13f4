#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velbor {

// Writes one received part into a temporary download away from the pull's thread, through
// a descriptor of its own: whatever the pull does to the file meanwhile (gives it up, closes
// its stream), the write reaches that file or nothing, never a descriptor reused for another.
class PartWrite {
 public:
  // Takes `fd`; `keep` holds the bytes at `data` alive until this goes.
  PartWrite(int fd, int64_t offset, std::shared_ptr<const void> keep, const std::string& data);
  ~PartWrite();
  PartWrite(const PartWrite&) = delete;
  PartWrite& operator=(const PartWrite&) = delete;

  // On a worker thread, once.
  void run();

  // The errno of a failed or short write; 0 when every byte is written.
  int error() const { return error_; }
  int64_t offset() const { return offset_; }
  size_t size() const { return data_.size(); }

  // Writes all of `data` at `offset` of `fd`; 0, or the errno of the write that failed.
  static int writeAt(int fd, int64_t offset, const std::string& data);

 private:
  int fd_;
  int64_t offset_;
  std::shared_ptr<const void> keep_;
  const std::string& data_;
  int error_ = 0;
};

}  // namespace velbor
