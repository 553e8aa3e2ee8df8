// Headers built to break a careless reader: extreme dimensions, offsets and
// sizes that overflow 32-bit arithmetic or point outside the file, and files
// too short to hold a header. Each must get its one message, leave the output
// empty and the input as it was, from a file and from a pipe alike.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr const char* kNotBmp = "Input file is not a valid BMP\n";
constexpr const char* kTooLarge = "Input image is too large\n";
constexpr const char* kTruncated = "Input file is truncated\n";

constexpr size_t kOffBitsAt = 10;
constexpr size_t kHeaderSizeAt = 14;
constexpr size_t kWidthAt = 18;
constexpr size_t kHeightAt = 22;
constexpr size_t kBitCountAt = 28;

struct HostileCase {
  std::string name;
  Bytes file;
  std::string message;
};

// A small valid picture to start from, with a 40- or 124-byte header.
Bytes ValidFile(uint32_t header_size = 40) {
  BitmapLayout layout;
  layout.width = 4;
  layout.height = 2;
  layout.header_size = header_size;
  return MakeBitmap(layout, SampleColours(4, 2));
}

Bytes Patched(Bytes file, size_t offset, uint32_t value, size_t size = 4) {
  for (size_t i = 0; i < size; ++i) {
    file[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
  return file;
}

void PrintTo(const HostileCase& hostile, std::ostream* out) {
  *out << hostile.name;
}

std::vector<HostileCase> HostileCases() {
  std::vector<HostileCase> cases = {
      // -2147483648 has no positive 32-bit counterpart to take the size of.
      {"HeightMinInt", Patched(ValidFile(), kHeightAt, 0x80000000), kTooLarge},
      {"WidthMaxInt", Patched(ValidFile(), kWidthAt, 0x7FFFFFFF), kTooLarge},
      {"WidthMinInt", Patched(ValidFile(), kWidthAt, 0x80000000), kNotBmp},
      {"CoreHeader65535Square",
       [] {
         BitmapLayout layout;
         layout.width = 1;
         layout.height = 1;
         layout.header_size = 12;
         Bytes file = MakeBitmap(layout, SampleColours(1, 1));
         return Patched(Patched(file, 18, 0xFFFF, 2), 20, 0xFFFF, 2);
       }(),
       kTooLarge},
      {"PixelOffsetMax", Patched(ValidFile(), kOffBitsAt, 0xFFFFFFFF),
       kTruncated},
      // The end of the pixel data lies past 2^32 + 2^31: 64-bit arithmetic
      // or bust.
      {"PixelOffsetMaxLargestTopDownPicture",
       Patched(Patched(Patched(ValidFile(), kOffBitsAt, 0xFFFFFFFF), kWidthAt,
                       10000),
               kHeightAt, static_cast<uint32_t>(-10000)),
       kTruncated},
      {"PixelOffsetZero", Patched(ValidFile(), kOffBitsAt, 0), kNotBmp},
      // The header sizes go on a file with a 124-byte header, so each is
      // refused for its value, not for running past the end of the file.
      {"HeaderSize0", Patched(ValidFile(124), kHeaderSizeAt, 0), kNotBmp},
      {"HeaderSize11", Patched(ValidFile(124), kHeaderSizeAt, 11), kNotBmp},
      {"HeaderSize13", Patched(ValidFile(124), kHeaderSizeAt, 13), kNotBmp},
      {"HeaderSize65", Patched(ValidFile(124), kHeaderSizeAt, 65), kNotBmp},
      {"HeaderSizeMax", Patched(ValidFile(124), kHeaderSizeAt, 0xFFFFFFFF),
       kNotBmp},
      {"BitCount0", Patched(ValidFile(), kBitCountAt, 0, 2),
       "Input file is 0 bits per pixel. Must be 24 bpp\n"},
      {"BitCount65535", Patched(ValidFile(), kBitCountAt, 65535, 2),
       "Input file is 65535 bits per pixel. Must be 24 bpp\n"},
      // 200 MB of output promised by a 60-byte file.
      {"Claims10000x10000In60Bytes",
       [] {
         Bytes file =
             Patched(Patched(ValidFile(), kWidthAt, 10000), kHeightAt, 10000);
         file.resize(60);
         return file;
       }(),
       kTruncated},
      {"OneByte", Bytes{'B'}, kNotBmp},
      {"Empty", Bytes{}, kNotBmp},
  };
  return cases;
}

std::string CaseName(const ::testing::TestParamInfo<HostileCase>& info) {
  return info.param.name;
}

class HostileTest
    : public ScratchDirTest<::testing::TestWithParam<HostileCase>> {
 protected:
  // Checks everything but the run's own message line.
  void ExpectRefused(const ToolRun& run, const std::string& input_path) {
    const HostileCase& hostile = GetParam();
    EXPECT_EQ(run.out, Echo(input_path, Path("out.raw")) + hostile.message);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_TRUE(FileExists(Path("out.raw")));
    EXPECT_EQ(ReadFile(Path("out.raw")), Bytes{});
  }
};

TEST_P(HostileTest, RefusedFromAFileBeforeAnyPixelIsWritten) {
  const HostileCase& hostile = GetParam();
  WriteFile(Path("in.bmp"), hostile.file);
  WriteFile(Path("out.raw"), Bytes(64, 0x5A));
  // Any output block the tool began to write would overrun this limit and
  // end the run with the write failure, not the expected refusal.
  const ToolRun run =
      RunToolWithFileSizeLimit({Path("in.bmp"), Path("out.raw")}, 4096);
  ExpectRefused(run, Path("in.bmp"));
  EXPECT_EQ(ReadFile(Path("in.bmp")), hostile.file);
}

TEST_P(HostileTest, RefusedFromAPipe) {
  WriteFile(Path("out.raw"), Bytes(64, 0x5A));
  const ToolRun run =
      RunToolOnPipe({"/dev/stdin", Path("out.raw")}, GetParam().file);
  ExpectRefused(run, "/dev/stdin");
}

INSTANTIATE_TEST_SUITE_P(Headers, HostileTest,
                         ::testing::ValuesIn(HostileCases()), CaseName);

}  // namespace
