// Rescan speed of one local copy: a first rescan records (and hashes) every file, a second
// one finds nothing changed. Run beside sha1_bench for the raw SHA-1 throughput.

#include <unistd.h>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchHome.h"
#include "core/daemon/DataSource.h"
#include "core/daemon/QoConfig.h"
#include "core/daemon/QoNotify.h"
#include "core/entity/QoDevice.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoFileAndSyncdirCopyRelation.h"
#include "core/entity/QoSyncdirCopy.h"
#include "framework/persistence/PersistentObject.h"
#include "framework/persistence/SQLiteInstanceManager.h"
#include "platform/UserDefaults.h"

namespace {

namespace fs = std::filesystem;
using namespace velbor;

constexpr int kSmallFiles = 10000;
constexpr int64_t kSmallFileSize = 4096;
constexpr int64_t kBigFileSize = 1LL << 30;

// A private HOME and the copies' folders under /tmp, removed at exit.
class Workspace {
 public:
  Workspace() : home_("rescan", "bench-device"), base_(home_.base()) {}

  QoSyncdirCopy::Ptr makeCopy(const std::string& name) {
    const fs::path root = base_ / name;
    fs::create_directories(root);
    auto copy = std::make_shared<QoSyncdirCopy>();
    copy->setPath(root.string());
    copy->setDevice(QoDevice::getDeviceLocal());
    copy->setSyncdirUuid("bench-" + name);
    copy->setUuid("bench-copy-" + name);
    copy->insert();
    return copy;
  }

  static void forgetRecords() {
    QoFileAndSyncdirCopyRelation::deleteObjectsByCriteria("");
    QoFile::deleteObjectsByCriteria("");
  }

 private:
  bench::BenchHome home_;
  fs::path base_;
};

std::unique_ptr<Workspace> gWorkspace;
QoSyncdirCopy::Ptr gSmallFiles;
QoSyncdirCopy::Ptr gBigFile;

void writeRandom(const fs::path& path, int64_t size, std::mt19937_64& random) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<uint64_t> block(static_cast<size_t>(std::min<int64_t>(size, 1 << 20) + 7) / 8);  // up to 1 MiB
  for (int64_t written = 0; written < size;) {
    for (auto& word : block) word = random();
    const int64_t chunk = std::min<int64_t>(size - written, 8 * static_cast<int64_t>(block.size()));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(chunk));
    written += chunk;
  }
}

// Made on first use, so a filtered run only writes what it needs.
QoSyncdirCopy::Ptr smallFilesCopy() {
  if (!gSmallFiles) {
    auto made = gWorkspace->makeCopy("small");
    std::mt19937_64 random(7);
    for (int i = 0; i < kSmallFiles; ++i) {
      const fs::path folder = fs::path(made->path()) / fmt::format("d{}", i / 100);
      fs::create_directories(folder);
      writeRandom(folder / fmt::format("f{}", i), kSmallFileSize, random);
    }
    gSmallFiles = made;
  }
  return gSmallFiles;
}

QoSyncdirCopy::Ptr bigFileCopy() {
  if (!gBigFile) {
    auto made = gWorkspace->makeCopy("big");
    std::mt19937_64 random(11);
    writeRandom(fs::path(made->path()) / "big.bin", kBigFileSize, random);
    gBigFile = made;
  }
  return gBigFile;
}

// Every run starts with no records: each file is listed, hashed and recorded.
void rescanNew(benchmark::State& state, const QoSyncdirCopy::Ptr& copy, int64_t files, int64_t bytes) {
  for (auto _ : state) {
    state.PauseTiming();
    Workspace::forgetRecords();
    state.ResumeTiming();
    copy->refresh();
  }
  state.counters["files/s"] = benchmark::Counter(static_cast<double>(files * state.iterations()),
                                                 benchmark::Counter::kIsRate);
  state.counters["MB/s hashed"] = benchmark::Counter(static_cast<double>(bytes * state.iterations()) / 1e6,
                                                     benchmark::Counter::kIsRate);
  if (QoFile::count() < files) state.SkipWithError("not every file was recorded");
}

void BM_RescanNewSmallFiles(benchmark::State& state) {
  rescanNew(state, smallFilesCopy(), kSmallFiles, kSmallFiles * kSmallFileSize);
}
BENCHMARK(BM_RescanNewSmallFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_RescanUnchangedSmallFiles(benchmark::State& state) {
  auto copy = smallFilesCopy();
  Workspace::forgetRecords();
  copy->refresh();
  const int64_t usn = DataSource::sharedDataSource().getCurrentUsn();
  for (auto _ : state) copy->refresh();
  state.counters["files/s"] = benchmark::Counter(static_cast<double>(kSmallFiles * state.iterations()),
                                                 benchmark::Counter::kIsRate);
  if (DataSource::sharedDataSource().getCurrentUsn() != usn) state.SkipWithError("an unchanged copy was recorded");
}
BENCHMARK(BM_RescanUnchangedSmallFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_RescanNewBigFile(benchmark::State& state) { rescanNew(state, bigFileCopy(), 1, kBigFileSize); }
BENCHMARK(BM_RescanNewBigFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  gWorkspace = std::make_unique<Workspace>();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // Removes the HOME, the database and the copies' folders (the 1 GiB file included).
  gSmallFiles.reset();
  gBigFile.reset();
  gWorkspace.reset();
  return 0;
}
