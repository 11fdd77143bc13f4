// Rescan speed of one local copy: a first rescan records (and hashes) every file, a second
// one finds nothing changed. Run beside sha1_bench for the raw SHA-1 throughput. The first
// rescan of a large copy also reports how long another thread had to wait for the
// "transaction" locker: that is what registration, time-outs and fetch applies feel.

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchWorkspace.h"
#include "core/entity/QoFile.h"
#include "core/entity/QoSyncdirCopy.h"
#include "core/state/DataSource.h"
#include "core/state/Lockers.h"

namespace {

namespace fs = std::filesystem;
using namespace velbor;

constexpr int kSmallFiles = 10000;
constexpr int64_t kSmallFileSize = 4096;
constexpr int64_t kBigFileSize = 1LL << 30;
constexpr int kManyFiles = 100000;
constexpr int64_t kManyFileSize = 1024;

std::unique_ptr<bench::BenchWorkspace> gWorkspace;
QoSyncdirCopy::Ptr gSmallFiles;
QoSyncdirCopy::Ptr gBigFile;
QoSyncdirCopy::Ptr gManyFiles;

// Takes the "transaction" locker over and over from its own thread, as any other user of the
// database would, and keeps the longest wait. A wait can only end when the holder lets go,
// so the longest wait is the longest hold seen from outside, less at most one pause.
class LockerWaitProbe {
 public:
  LockerWaitProbe() : thread_([this] { run(); }) {}
  ~LockerWaitProbe() {
    stop_ = true;
    thread_.join();
  }
  LockerWaitProbe(const LockerWaitProbe&) = delete;
  LockerWaitProbe& operator=(const LockerWaitProbe&) = delete;

  double longestWaitMs() const { return static_cast<double>(longestNs_.load()) / 1e6; }

 private:
  void run() {
    RecursiveLocker& locker = Lockers::transaction();
    while (!stop_) {
      const auto asked = std::chrono::steady_clock::now();
      locker.lock();
      const auto got = std::chrono::steady_clock::now();
      locker.unlock();
      const int64_t waited = std::chrono::duration_cast<std::chrono::nanoseconds>(got - asked).count();
      longestNs_ = std::max(longestNs_.load(), waited);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<int64_t> longestNs_{0};
  std::thread thread_;
};

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

QoSyncdirCopy::Ptr manyFilesCopy() {
  if (!gManyFiles) {
    auto made = gWorkspace->makeCopy("many");
    std::mt19937_64 random(13);
    for (int i = 0; i < kManyFiles; ++i) {
      const fs::path folder = fs::path(made->path()) / fmt::format("d{}", i / 1000) / fmt::format("e{}", i / 100);
      if (i % 100 == 0) fs::create_directories(folder);
      writeRandom(folder / fmt::format("f{}", i), kManyFileSize, random);
    }
    gManyFiles = made;
  }
  return gManyFiles;
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
    bench::BenchWorkspace::forgetRecords();
    state.ResumeTiming();
    copy->refresh();
  }
  state.counters["files/s"] =
      benchmark::Counter(static_cast<double>(files * state.iterations()), benchmark::Counter::kIsRate);
  state.counters["MB/s hashed"] =
      benchmark::Counter(static_cast<double>(bytes * state.iterations()) / 1e6, benchmark::Counter::kIsRate);
  if (QoFile::count() < files) state.SkipWithError("not every file was recorded");
}

void BM_RescanNewSmallFiles(benchmark::State& state) {
  rescanNew(state, smallFilesCopy(), kSmallFiles, kSmallFiles * kSmallFileSize);
}
BENCHMARK(BM_RescanNewSmallFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_RescanUnchangedSmallFiles(benchmark::State& state) {
  auto copy = smallFilesCopy();
  bench::BenchWorkspace::forgetRecords();
  copy->refresh();
  const int64_t usn = DataSource::sharedDataSource().getCurrentUsn();
  for (auto _ : state) copy->refresh();
  state.counters["files/s"] =
      benchmark::Counter(static_cast<double>(kSmallFiles * state.iterations()), benchmark::Counter::kIsRate);
  if (DataSource::sharedDataSource().getCurrentUsn() != usn) state.SkipWithError("an unchanged copy was recorded");
}
BENCHMARK(BM_RescanUnchangedSmallFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_RescanNewManyFiles(benchmark::State& state) {
  auto copy = manyFilesCopy();
  double longestWaitMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    bench::BenchWorkspace::forgetRecords();
    state.ResumeTiming();
    LockerWaitProbe probe;
    copy->refresh();
    longestWaitMs = std::max(longestWaitMs, probe.longestWaitMs());
  }
  state.counters["files/s"] =
      benchmark::Counter(static_cast<double>(kManyFiles * state.iterations()), benchmark::Counter::kIsRate);
  state.counters["longest transaction wait ms"] = longestWaitMs;
  if (QoFile::count() < kManyFiles) state.SkipWithError("not every file was recorded");
}
BENCHMARK(BM_RescanNewManyFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_RescanNewBigFile(benchmark::State& state) { rescanNew(state, bigFileCopy(), 1, kBigFileSize); }
BENCHMARK(BM_RescanNewBigFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  gWorkspace = std::make_unique<bench::BenchWorkspace>("rescan");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // Removes the HOME, the database and the copies' folders (the 1 GiB file included).
  gSmallFiles.reset();
  gBigFile.reset();
  gManyFiles.reset();
  gWorkspace.reset();
  return 0;
}
