// Row kernel throughput, in bytes of 24-bit input per second, for every
// kernel this build has and this CPU can run (the label names it; the first
// argument is its index, the second the row width in pixels), on one input
// block's worth of rows converted in place, as the tool converts them. Rows
// of the widest picture show the long-loop speed; short rows show the tail's
// cost.
//
//   build/<dir>/bench/kernel_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "convert_row.h"

namespace {

// The tool reads whole rows into one block of this size and converts each
// row in place: its words go to the front of the block, behind the words of
// the rows before it.
constexpr size_t kBlockBytes = size_t{1024} * 1024;

void ConvertRows(benchmark::State& state) {
  const RowKernelEntry kernel = GetRowKernel(static_cast<int>(state.range(0)));
  const auto width = static_cast<int32_t>(state.range(1));
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  const size_t words_per_row = static_cast<size_t>(width) * 2;
  const size_t rows = std::max<size_t>(1, kBlockBytes / stride);
  std::vector<uint8_t> block(std::max(kBlockBytes, stride));
  std::mt19937 generator(1);
  for (uint8_t& byte : block) {
    byte = static_cast<uint8_t>(generator());
  }
  // After the first pass the block holds words where pixels were; the
  // kernels take as long on any bytes, so later passes convert those.
  for (auto iteration : state) {
    (void)iteration;
    for (size_t row = 0; row < rows; ++row) {
      kernel.convert(block.data() + stride * row,
                     block.data() + words_per_row * row, width);
    }
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(kernel.name);
  state.SetBytesProcessed(
      state.iterations() *
      static_cast<int64_t>(rows * static_cast<size_t>(width) * 3));
}

void EveryKernelAndWidth(benchmark::internal::Benchmark* benchmark) {
  for (int index = 0; index < CountRowKernels(); ++index) {
    for (const int width : {10000, 1001, 32, 7}) {
      benchmark->Args({index, width});
    }
  }
}

BENCHMARK(ConvertRows)->Apply(EveryKernelAndWidth);

}  // namespace

BENCHMARK_MAIN();
