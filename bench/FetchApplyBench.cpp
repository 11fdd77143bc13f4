// Applying fetched files: each new file arrives as a downloaded temporary file beside its
// place, and handleFetchEvent checks it, installs it and records it. This is the local cost
// of a first sync from a peer, without the network.

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchWorkspace.h"
#include "core/entity/FileFetchEvent.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/utils/QoUtils.h"
#include "core/utils/Vclock.h"

namespace {

namespace fs = std::filesystem;
using namespace velbor;

constexpr int kFiles = 10000;
constexpr size_t kFileSize = 4096;
constexpr int64_t kPeerTime = 1600000000123;  // ms

std::unique_ptr<bench::BenchWorkspace> gWorkspace;

// The peer's record of a new file at `path`, its content downloaded to the temporary file,
// as the fetcher hands it over. The file is closed: thousands of open streams would make
// each close walk them all, which no fetch does.
QoFileAndSyncdirCopyRelation::Ptr fetched(const QoSyncdirCopy::Ptr& local, const QoSyncdirCopy::Ptr& remote,
                                          const std::string& path, const std::string& content, int64_t usn) {
  auto file = std::make_shared<QoFile>();
  file->setPath(path);
  file->setType(0);
  file->setUnixAttr(0644);
  file->setContentModTime(kPeerTime);
  file->setUsn(usn);
  file->setLength(static_cast<int64_t>(content.size()));
  auto relation = std::make_shared<QoFileAndSyncdirCopyRelation>();
  relation->setFile(file);
  relation->setSyncdirCopy(local);
  relation->setVclock(Vclock(std::vector<uint64_t>{0, static_cast<uint64_t>(usn)}).encode());
  relation->setRemoteSyncdirCopyUuid(remote->uuid());
  auto handle = relation->getTmpFileHandle();
  handle->write(content.data(), static_cast<std::streamsize>(content.size()));
  relation->closeTmpFileHandle();
  file->setSha1(QoUtils::getSha1StringWithPath(relation->getTempFilePath()).value_or(""));
  return relation;
}

void BM_ApplyFetchedNewFiles(benchmark::State& state) {
  auto local = gWorkspace->makeCopy("fetch");
  // A repetition of the benchmark finds the peer saved by the one before.
  auto peer = QoDevice::getDeviceWithUuid("bench-peer");
  if (!peer) {
    peer = std::make_shared<QoDevice>();
    peer->setUuid("bench-peer");
    peer->save();
  }
  auto remote = bench::BenchWorkspace::makeCopy("/peer/fetch", peer, "fetch");
  std::mt19937_64 random(5);
  int64_t failed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    bench::BenchWorkspace::forgetRecords();
    for (const auto& entry : fs::directory_iterator(local->path())) fs::remove_all(entry.path());
    std::vector<QoFileAndSyncdirCopyRelation::Ptr> incoming;
    incoming.reserve(kFiles);
    std::string content(kFileSize, '\0');
    for (int i = 0; i < kFiles; ++i) {
      const fs::path folder = fs::path(local->path()) / fmt::format("d{}", i / 100);
      if (i % 100 == 0) fs::create_directories(folder);
      for (char& c : content) c = static_cast<char>(random());
      incoming.push_back(fetched(local, remote, (folder / fmt::format("f{}", i)).string(), content, i + 1));
    }
    state.ResumeTiming();
    for (const auto& relation : incoming) {
      if (!relation->handleFetchEvent(EventCreateFile)) ++failed;
    }
  }
  state.counters["files/s"] =
      benchmark::Counter(static_cast<double>(kFiles * state.iterations()), benchmark::Counter::kIsRate);
  if (failed != 0) state.SkipWithError(fmt::format("{} files were not applied", failed).c_str());
}
BENCHMARK(BM_ApplyFetchedNewFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  gWorkspace = std::make_unique<bench::BenchWorkspace>("fetch");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gWorkspace.reset();
  return 0;
}
