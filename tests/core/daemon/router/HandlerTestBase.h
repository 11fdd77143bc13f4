#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "PairingFixture.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/entity/QoSyncdirCopyRelation.h"
#include "core/state/DataSource.h"
#include "core/state/QoConfig.h"
#include "core/state/QoConfigDelegateLinux.h"
#include "core/utils/QoUtils.h"
#include "framework/errors/QoException.h"
#include "framework/persistence/WriteTransaction.h"
#include "proto/VelborProto.pb.h"
#include "support/FreshState.h"
#include "support/TempDir.h"

namespace velbor::test {

// What a requester gets back from one handler call, as the dispatch would answer it: the
// reply, or the error code and text of the error reply.
struct Answer {
  QoMessage::Ptr reply;
  int errcode = -1;  // -1: no error reply
  std::string errstr;

  int code() const { return reply ? reply->code() : -1; }
  template <class M>
  std::shared_ptr<M> body() const {
    return reply ? reply->pbBodyAs<M>() : nullptr;
  }
};

inline Answer call(QoHandler handler, QoMessage::Body body = nullptr) {
  Answer answer;
  QoRequest request;
  request.body = std::move(body);
  request.level = QoMessage::kLevelEncrypt;
  try {
    answer.reply = handler(request);
    if (answer.reply && answer.reply->code() == pb::MsgCodeError) {
      const auto error = answer.reply->pbBodyAs<pb::MsgError>();
      answer.errcode = error->errcode();
      answer.errstr = error->errstr();
    }
  } catch (const QoException& e) {
    answer.errcode = e.getCode();
    answer.errstr = e.description();
  } catch (const std::exception&) {
    answer.errcode = pb::ErrorCodeBadFormat;
    answer.errstr = "bad format";
  }
  return answer;
}

template <class M>
std::shared_ptr<M> body(M message) {
  return std::make_shared<M>(std::move(message));
}

// Fresh HOME, tables, settings and the local device row; a folder for copies.
class HandlerTestBase : public LocalDeviceTest {
 protected:
  // A stored file-in-copy record for `relative` below the copy's root.
  static std::shared_ptr<QoFileAndSyncdirCopyRelation> record(const QoSyncdirCopy::Ptr& copy,
                                                              const std::string& relative, int64_t usn,
                                                              const std::string& vclock, int64_t length = 0,
                                                              int32_t type = 0) {
    return recordFile(copy, copy->path() + relative, length, vclock, usn, type);
  }

  TempDir dir_{"velbor-handlers"};
};

// With one local tree of a fresh sync folder, rooted at dir_.
class LocalTreeTestBase : public HandlerTestBase {
 protected:
  void SetUp() override {
    HandlerTestBase::SetUp();
    syncUuid_ = QoUtils::generateUuid();
    tree_ = makeCopy(dir_.str(), local_, syncUuid_);
  }

  std::string syncUuid_;
  QoSyncdirCopy::Ptr tree_;
};

}  // namespace velbor::test
