#include "core/daemon/client/QoReplyNotice.h"

#include <unordered_map>

#include "core/state/QoNotices.h"
#include "core/utils/QoUtils.h"

namespace velbor {
namespace {

using Poster = void (*)(QoMessage::Ptr reply, std::shared_ptr<QoDevice> device);

template <class Notice>
void postAs(QoMessage::Ptr reply, std::shared_ptr<QoDevice> device) {
  QoNotices::post(Notice{std::move(reply), std::move(device)});
}

const std::unordered_map<std::string, Poster>& posters() {
  // Never destroyed: jobs still running at exit use it.
  static const auto& table = *new std::unordered_map<std::string, Poster>{
      {"TreeShowRequest", &postAs<notice::TreeShowRequest>},
      {"ListRequest", &postAs<notice::ListRequest>},
      {"ListRootRequest", &postAs<notice::ListRootRequest>},
      {"TreeAddRequest", &postAs<notice::TreeAddRequest>},
      {"SyncAddRequest", &postAs<notice::SyncAddRequest>},
      {"TrustPublishRequest", &postAs<notice::TrustPublishRequest>},
      {"TrustRequest", &postAs<notice::TrustRequest>},
      {"TrustDenyRequest", &postAs<notice::TrustDenyRequest>},
      {"TrustCancelRequest", &postAs<notice::TrustCancelRequest>},
      {"DistrustRequest", &postAs<notice::DistrustRequest>},
      {"SyncOnceRequest", &postAs<notice::SyncOnceRequest>},
      {"StatusRequest", &postAs<notice::StatusRequest>},
  };
  return table;
}

}  // namespace

bool QoReplyNotice::hasNotice(const std::string& requestName) { return posters().contains(requestName); }

void QoReplyNotice::post(const std::string& requestName, QoMessage::Ptr reply, std::shared_ptr<QoDevice> device) {
  const auto found = posters().find(requestName);
  QoAssert(found != posters().end(), "No reply notice for {}", requestName);
  found->second(std::move(reply), std::move(device));
}

}  // namespace velbor
