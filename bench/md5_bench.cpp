// Throughput of our MD5 against OpenSSL's on the same buffers. After the
// Google Benchmark runs, a separate interleaved measurement on one 8 MiB
// buffer prints the throughput ratio as the last line.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "verify/md5.h"

namespace {

std::vector<uint8_t> RandomBuffer(size_t size) {
  std::vector<uint8_t> buffer(size);
  std::mt19937 generator(20240517);
  for (auto& byte : buffer) byte = static_cast<uint8_t>(generator());
  return buffer;
}

brenvik::Md5Digest OpenSslMd5(const uint8_t* data, size_t length) {
  brenvik::Md5Digest digest{};
  unsigned int digest_length = 0;
  if (EVP_Digest(data, length, digest.data(), &digest_length, EVP_md5(), nullptr) != 1 ||
      digest_length != digest.size()) {
    std::fprintf(stderr, "OpenSSL MD5 failed\n");
    std::exit(1);
  }
  return digest;
}

void BM_OursWhole(benchmark::State& state) {
  const auto buffer = RandomBuffer(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    auto digest = brenvik::Md5Of(buffer.data(), buffer.size());
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The way file verification feeds a file: 4096-byte pieces.
void BM_OursPieces4096(benchmark::State& state) {
  const auto buffer = RandomBuffer(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    brenvik::Md5Context context;
    brenvik::Md5Init(context);
    for (size_t offset = 0; offset < buffer.size(); offset += 4096) {
      brenvik::Md5Update(context, buffer.data() + offset,
                         std::min<size_t>(4096, buffer.size() - offset));
    }
    brenvik::Md5Digest digest;
    brenvik::Md5Final(digest, context);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_OpenSslWhole(benchmark::State& state) {
  const auto buffer = RandomBuffer(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    auto digest = OpenSslMd5(buffer.data(), buffer.size());
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_OursWhole)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_OursPieces4096)->Arg(1 << 20);
BENCHMARK(BM_OpenSslWhole)->Arg(64 << 10)->Arg(1 << 20);

// Best wall time of `repeats` back-to-back digests of the buffer, in seconds.
template <typename Digest>
double BestTime(const std::vector<uint8_t>& buffer, int repeats, Digest digest) {
  double best = 1e30;
  for (int i = 0; i < repeats; ++i) {
    const auto start = std::chrono::steady_clock::now();
    auto result = digest(buffer.data(), buffer.size());
    const auto stop = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(result);
    best = std::min(best, std::chrono::duration<double>(stop - start).count());
  }
  return best;
}

// Interleaves short rounds of both so that frequency changes and load from
// other processes hit both alike, and keeps the best time of each.
double ThroughputRatio() {
  const auto buffer = RandomBuffer(8 << 20);
  if (brenvik::Md5Of(buffer.data(), buffer.size()) != OpenSslMd5(buffer.data(), buffer.size())) {
    std::fprintf(stderr, "digests differ\n");
    std::exit(1);
  }
  constexpr int kRounds = 15;
  constexpr int kRepeats = 3;
  double ours = 1e30;
  double theirs = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    ours = std::min(ours, BestTime(buffer, kRepeats, brenvik::Md5Of));
    theirs = std::min(theirs, BestTime(buffer, kRepeats, OpenSslMd5));
  }
  const double mib = static_cast<double>(buffer.size()) / (1 << 20);
  std::printf("ours: %.1f MiB/s, OpenSSL: %.1f MiB/s (best of %d)\n", mib / ours, mib / theirs,
              kRounds * kRepeats);
  return theirs / ours;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const double ratio = ThroughputRatio();
  std::printf("md5 throughput ratio vs OpenSSL: %.2f\n", ratio);
  return 0;
}
