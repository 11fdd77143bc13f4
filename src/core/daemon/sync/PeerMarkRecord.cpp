#include "core/daemon/sync/PeerMarkRecord.h"

#include "framework/crypto/Cryptor.h"
#include "proto/VelborProto.pb.h"

namespace velbor {

std::string PeerMarkRecord::identify(const pb::Stat& stat) {
  pb::Stat withoutUsn = stat;
  withoutUsn.set_usn(0);
  std::string bytes;
  withoutUsn.SerializePartialToString(&bytes);
  return Cryptor::getSHA1ForData(bytes);
}

}  // namespace velbor
