// Every row kernel this build has and this CPU can run must pack every colour
// exactly, give the scalar kernel's bytes at every length and alignment, and
// touch nothing outside its two ranges; the tool must use the widest.
#include "convert_row.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A heap block of exactly `size` bytes, so that AddressSanitizer flags any
// access one byte past either end.
std::unique_ptr<uint8_t[]> ExactBlock(size_t size) {
  return std::make_unique<uint8_t[]>(size);
}

Bytes RandomBytes(size_t size, uint32_t stream) {
  std::mt19937 generator(stream);
  Bytes bytes(size);
  for (uint8_t& byte : bytes) {
    byte = static_cast<uint8_t>(generator());
  }
  return bytes;
}

Bytes ConvertWith(RowKernel kernel, const Bytes& pixels) {
  const auto count = static_cast<int32_t>(pixels.size() / 3);
  Bytes words(static_cast<size_t>(count) * 2);
  kernel(pixels.data(), words.data(), count);
  return words;
}

class RowKernelTest : public testing::TestWithParam<int> {
 protected:
  RowKernel Kernel() const { return GetRowKernel(GetParam()).convert; }
  static RowKernel Scalar() { return GetRowKernel(0).convert; }
};

// The kernels this CPU should offer, narrowest first, found by asking the CPU
// here rather than through the kernel module.
std::vector<std::string> KernelsThisCpuRuns() {
  std::vector<std::string> names = {"scalar"};
#ifndef BRAVIK_SCALAR_ONLY
#if defined(__aarch64__)
  names.emplace_back("neon");
#elif defined(__x86_64__) || defined(__i386__)
  if (__builtin_cpu_supports("avx2") != 0) {
    names.emplace_back("avx2");
  }
  if (__builtin_cpu_supports("avx512f") != 0 &&
      __builtin_cpu_supports("avx512bw") != 0 &&
      __builtin_cpu_supports("avx512vbmi") != 0) {
    names.emplace_back("avx512");
  }
#endif
#endif
  return names;
}

TEST(RowKernelListTest, OffersWhatTheCpuRunsAndTheToolUsesTheWidest) {
  std::vector<std::string> offered;
  for (int index = 0; index < CountRowKernels(); ++index) {
    offered.emplace_back(GetRowKernel(index).name);
  }
  const std::vector<std::string> expected = KernelsThisCpuRuns();
  EXPECT_EQ(offered, expected);
  EXPECT_EQ(ChosenRowKernelName(), expected.back());
  for (const int outside : {-1, CountRowKernels()}) {
    EXPECT_EQ(GetRowKernel(outside).name, nullptr) << "index " << outside;
    EXPECT_EQ(GetRowKernel(outside).convert, nullptr) << "index " << outside;
  }
  // ConvertRow goes through the chosen kernel: same bytes on a row long
  // enough to take every vector path.
  const Bytes pixels = RandomBytes(size_t{3} * 1000, 7);
  Bytes through_dispatch(2000);
  ConvertRow(pixels.data(), through_dispatch.data(), 1000);
  EXPECT_EQ(through_dispatch,
            ConvertWith(GetRowKernel(CountRowKernels() - 1).convert, pixels));
}

// Pins the packing itself: full components, each field alone, and the
// truncation boundaries (7 and 3 drop to zero, 8 and 4 are the first steps).
TEST_P(RowKernelTest, PacksKnownColours) {
  struct Case {
    uint8_t blue, green, red;
    uint16_t word;
  };
  const Case cases[] = {
      {0, 0, 255, 0xF800},     {0, 255, 0, 0x07E0},        {255, 0, 0, 0x001F},
      {255, 255, 255, 0xFFFF}, {0, 0, 0, 0x0000},          {7, 3, 7, 0x0000},
      {8, 4, 8, 0x0821},       {0x5A, 0xA5, 0x3C, 0x3D2B},
  };
  // Repeated so that the long vector loops see them as well as the tails.
  constexpr int kRepeats = 40;
  Bytes pixels;
  Bytes expected;
  for (int repeat = 0; repeat < kRepeats; ++repeat) {
    for (const Case& known : cases) {
      pixels.insert(pixels.end(), {known.blue, known.green, known.red});
      expected.push_back(static_cast<uint8_t>(known.word & 0xFF));
      expected.push_back(static_cast<uint8_t>(known.word >> 8));
    }
  }
  EXPECT_EQ(ConvertWith(Kernel(), pixels), expected);
}

// Every colour against the packing done the long way: each component divided
// down to its field's width and multiplied up to its field's place, and each
// word read back from its two bytes, low byte first.
TEST_P(RowKernelTest, PacksEveryColour) {
  constexpr size_t kColours = size_t{1} << 24;
  Bytes pixels;
  pixels.reserve(kColours * 3);
  for (int red = 0; red < 256; ++red) {
    for (int green = 0; green < 256; ++green) {
      for (int blue = 0; blue < 256; ++blue) {
        pixels.insert(pixels.end(),
                      {static_cast<uint8_t>(blue), static_cast<uint8_t>(green),
                       static_cast<uint8_t>(red)});
      }
    }
  }
  const Bytes words = ConvertWith(Kernel(), pixels);
  ASSERT_EQ(words.size(), kColours * 2);
  size_t at = 0;
  for (int red = 0; red < 256; ++red) {
    for (int green = 0; green < 256; ++green) {
      for (int blue = 0; blue < 256; ++blue, at += 2) {
        const int expected = red / 8 * 2048 + green / 4 * 32 + blue / 8;
        const int actual = words[at] + 256 * words[at + 1];
        // The first wrong colour alone, rather than 16 million checks.
        if (actual != expected) {
          FAIL() << "blue " << blue << ", green " << green << ", red " << red
                 << ": got 0x" << std::hex << actual << ", expected 0x"
                 << expected;
        }
      }
    }
  }
}

// Every short length at every alignment: the vector loops' bounds and the
// hand-over to the scalar tail are where over-reads and off-by-ones hide.
TEST_P(RowKernelTest, MatchesScalarAtEveryLengthAndOffset) {
  constexpr int32_t kMaxCount = 130;
  constexpr size_t kMaxOffset = 64;
  constexpr size_t kGuard = 64;
  constexpr uint8_t kFill = 0xA5;
  const Bytes source = RandomBytes(size_t{kMaxCount} * 3, 11);

  for (int32_t count = 0; count <= kMaxCount; ++count) {
    const size_t in_size = static_cast<size_t>(count) * 3;
    const size_t out_size = static_cast<size_t>(count) * 2;
    const Bytes row(source.begin(),
                    source.begin() + static_cast<ptrdiff_t>(in_size));
    const Bytes expected = ConvertWith(Scalar(), row);
    for (size_t offset = 0; offset < kMaxOffset; ++offset) {
      SCOPED_TRACE("count " + std::to_string(count) + ", offset " +
                   std::to_string(offset));
      // The row ends exactly where its block ends, and so do the words.
      const auto input = ExactBlock(offset + in_size);
      std::copy(row.begin(), row.end(), input.get() + offset);
      const auto output = ExactBlock(offset + out_size);
      Kernel()(input.get() + offset, output.get() + offset, count);
      ASSERT_TRUE(
          std::equal(expected.begin(), expected.end(), output.get() + offset));

      // Without a sanitizer, stray writes show up in the bytes around the
      // words instead.
      Bytes guarded(kGuard + offset + out_size + kGuard, kFill);
      Kernel()(input.get() + offset, guarded.data() + kGuard + offset, count);
      ASSERT_TRUE(std::equal(
          expected.begin(), expected.end(),
          guarded.begin() + static_cast<ptrdiff_t>(kGuard + offset)));
      for (size_t at = 0; at < guarded.size(); ++at) {
        if (at < kGuard + offset || at >= kGuard + offset + out_size) {
          ASSERT_EQ(guarded[at], kFill) << "byte " << at << " was written";
        }
      }
    }
  }
}

// The converter turns each row into words within the same buffer: the words
// start at or before the row's first pixel and must come out as if written
// elsewhere.
TEST_P(RowKernelTest, ConvertsInPlaceAndIntoEarlierBytes) {
  constexpr int32_t kMaxCount = 130;
  const Bytes source = RandomBytes(size_t{kMaxCount} * 3, 5);
  for (int32_t count = 0; count <= kMaxCount; ++count) {
    const size_t in_size = static_cast<size_t>(count) * 3;
    const Bytes row(source.begin(),
                    source.begin() + static_cast<ptrdiff_t>(in_size));
    const Bytes expected = ConvertWith(Scalar(), row);
    // 0 is in place; the others put the words that many bytes earlier, up to
    // a whole row's worth of words as for the next row of a block.
    for (const size_t lead : {size_t{0}, size_t{1}, size_t{2}, size_t{31},
                              size_t{64}, static_cast<size_t>(count) * 2}) {
      SCOPED_TRACE("count " + std::to_string(count) + ", words " +
                   std::to_string(lead) + " bytes before the pixels");
      const auto block = ExactBlock(lead + in_size);
      std::copy(row.begin(), row.end(), block.get() + lead);
      Kernel()(block.get() + lead, block.get(), count);
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), block.get()));
    }
  }
}

TEST_P(RowKernelTest, ConvertsNothingForZeroOrNegativeCounts) {
  const Bytes pixels = RandomBytes(96, 3);
  const Bytes untouched(64, 0xA5);
  for (const int32_t count : {0, -1, -32, INT32_MIN}) {
    Bytes words = untouched;
    Kernel()(pixels.data(), words.data(), count);
    EXPECT_EQ(words, untouched) << "count " << count;
  }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, RowKernelTest,
                         testing::Range(0, CountRowKernels()),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::string(GetRowKernel(info.param).name);
                         });

}  // namespace
