// File SHA-1 throughput of QoUtils beside the system's sha1sum on the same 256 MiB file.

#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/utils/QoUtils.h"

namespace {

constexpr int64_t kFileSize = 256LL * 1024 * 1024;
std::string benchFile;
std::string expectedDigest;

void createBenchFile() {
  benchFile = "/tmp/velbor-sha1-bench-" + std::to_string(::getpid()) + ".bin";
  std::ofstream out(benchFile, std::ios::binary | std::ios::trunc);
  std::mt19937_64 random(42);
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  for (int64_t written = 0; written < kFileSize; written += 8 * static_cast<int64_t>(block.size())) {
    for (auto& word : block) word = random();
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(8 * block.size()));
  }
}

std::optional<std::string> sha1sum(const std::string& path) {
  std::string command = "sha1sum '" + path + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  char line[256] = {};
  bool read = std::fgets(line, sizeof(line), pipe) != nullptr;
  int status = ::pclose(pipe);
  if (!read || status != 0) return std::nullopt;
  return std::string(line, 40);
}

void BM_QoUtilsSha1(benchmark::State& state) {
  for (auto _ : state) {
    auto digest = velbor::QoUtils::getSha1StringWithPath(benchFile);
    if (!digest || (!expectedDigest.empty() && *digest != expectedDigest)) {
      state.SkipWithError("wrong or missing digest");
      break;
    }
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}
BENCHMARK(BM_QoUtilsSha1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Sha1sum(benchmark::State& state) {
  for (auto _ : state) {
    auto digest = sha1sum(benchFile);
    if (!digest || (!expectedDigest.empty() && *digest != expectedDigest)) {
      state.SkipWithError("sha1sum failed or disagrees");
      break;
    }
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}
BENCHMARK(BM_Sha1sum)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  createBenchFile();
  // Both sides run on a warm page cache and must agree on the digest.
  expectedDigest = sha1sum(benchFile).value_or("");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove(benchFile);
  return 0;
}
