#pragma once

#include <ext/stdio_filebuf.h>

#include <istream>
#include <memory>
#include <utility>

#include "core/entity/TmpFilePlace.h"

namespace velbor {

// A read-write stream over a descriptor it owns: the temporary download file stays the file
// that was opened inside the copy, never looked up again by its path.
class TmpFileStream : public std::iostream {
 public:
  // Takes the descriptor; an invalid one gives a stream that is not open.
  explicit TmpFileStream(int fd);
  ~TmpFileStream() override;
  TmpFileStream(const TmpFileStream&) = delete;
  TmpFileStream& operator=(const TmpFileStream&) = delete;

  bool is_open() const { return buffer_.is_open(); }
  // The descriptor, for writes at an offset that bypass the stream; -1 when closed.
  int descriptor() { return buffer_.is_open() ? buffer_.fd() : -1; }
  // A new descriptor of the same open file, which the caller closes; -1 when closed.
  int duplicateDescriptor();
  // Flushes and closes the descriptor.
  void close();
  // Where the file was created (kept when the stream closes); null when unknown.
  const std::shared_ptr<const TmpFilePlace>& place() const { return place_; }
  void setPlace(std::shared_ptr<const TmpFilePlace> place) { place_ = std::move(place); }

 private:
  __gnu_cxx::stdio_filebuf<char> buffer_;
  std::shared_ptr<const TmpFilePlace> place_;
};

}  // namespace velbor
