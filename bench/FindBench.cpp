// Find pages of 10000 records served by the handler, called directly (no sockets): the
// time of one page at several depths of a tree of 25000, 50000 and 100000 records. A page
// should cost the same wherever it starts and however large the table has grown.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "BenchHome.h"
#include "core/daemon/router/QoWorker.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/utils/QoUtils.h"
#include "framework/persistence/WriteTransaction.h"
#include "proto/VelborProto.pb.h"

namespace {

using namespace velbor;

constexpr int kPage = 10000;

// A private HOME with the local device and one tree, removed at exit.
class Workspace {
 public:
  Workspace() : home_("find", QoUtils::generateUuid()) {
    tree_ = std::make_shared<QoSyncdirCopy>();
    tree_->setPath((home_.base() / "tree").string());
    tree_->setDevice(QoDevice::getDeviceLocal());
    tree_->setSyncdirUuid(QoUtils::generateUuid());
    tree_->setUuid(QoUtils::generateUuid());
    tree_->insert();
  }

  // Grows the tree to `count` records (usn 1..count).
  void growTo(int count) {
    WriteTransaction transaction;
    for (; stored_ < count; ++stored_) {
      auto file = std::make_shared<QoFile>();
      file->setPath(tree_->path() + "/folder/file-" + std::to_string(stored_ + 1) + ".txt");
      file->setLength(4096);
      file->setUsn(stored_ + 1);
      file->setSha1("da39a3ee5e6b4b0d3255bfef95601890afd80709");
      file->setUnixAttr(0644);
      auto relation = std::make_shared<QoFileAndSyncdirCopyRelation>();
      relation->setSyncdirCopy(tree_);
      relation->setFile(file);
      relation->setVclock(std::to_string(stored_ % 7 + 1) + "|3");
      relation->save();
    }
    transaction.commit();
  }

  std::shared_ptr<pb::MsgFindRequest> request(int64_t since) const {
    auto request = std::make_shared<pb::MsgFindRequest>();
    request->set_sync_uuid(tree_->syncdirUuid());
    request->set_tree_uuid(tree_->uuid());
    request->set_since(since);
    request->set_limit(kPage);
    return request;
  }

 private:
  bench::BenchHome home_;
  QoSyncdirCopy::Ptr tree_;
  int stored_ = 0;
};

std::unique_ptr<Workspace> gWorkspace;

// Arguments: table size, then the page's start as a share of it in percent.
void BM_FindPage(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  gWorkspace->growTo(size);
  const int64_t since = std::min<int64_t>(size - kPage, size * state.range(1) / 100);
  QoRequest request;
  request.body = gWorkspace->request(since);
  for (auto _ : state) {
    const auto reply = QoWorker::handleFindRequest(request);
    const auto response = reply->pbBodyAs<pb::MsgFindResponse>();
    if (!response || response->stats_size() != kPage) state.SkipWithError("short page");
    benchmark::DoNotOptimize(response);
  }
}
// Sizes grow monotonically: each table is reused by the next size.
BENCHMARK(BM_FindPage)
    ->Apply([](benchmark::internal::Benchmark* b) {
      for (int size : {25000, 50000, 100000}) {
        for (int share : {0, 50, 90}) b->Args({size, share});
      }
    })
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  gWorkspace = std::make_unique<Workspace>();
  benchmark::RunSpecifiedBenchmarks();
  gWorkspace.reset();
  benchmark::Shutdown();
  return 0;
}
