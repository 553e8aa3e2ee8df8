// Every refusal, from a regular file and from a pipe: one message, an empty
// output (it held stale bytes before), an input left as it was, and exit
// status 0, since only the argument count sets the status. The table holds
// ordinary refusals and headers built to break a careless reader: extreme
// dimensions, offsets and sizes that overflow 32-bit arithmetic or point
// outside the file, and files too short to hold a header.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct RefusalCase {
  std::string name;
  Bytes file;
  std::string message;
};

void PrintTo(const RefusalCase& refusal, std::ostream* out) {
  *out << refusal.name;
}

// A small picture of varied colours to start from.
Bytes Valid(const BitmapLayout& layout) {
  return MakeBitmap(layout, SampleColours(layout.width, layout.height));
}

Bytes Valid(int32_t width = 4, int32_t height = 2, uint32_t header_size = 40) {
  return Valid(Layout(width, height, header_size));
}

Bytes Cut(Bytes file, size_t keep) {
  file.resize(keep);
  return file;
}

// Ordered as the tool tests them: signature, complete header, bit count,
// size, layout, compression, then the length of the pixel data. Cases that
// break two rules expect the earlier one.
std::vector<RefusalCase> RefusalCases() {
  return {
      // Signature.
      {"NoSignature", Patched(Valid(), 0, 'P' | ('6' << 8), 2), kNotBmp},
      {"SignatureBeforeBitCount",
       Patched(Valid(WithBitCount(Layout(4, 2), 32)), 0, 'M' | ('B' << 8), 2),
       kNotBmp},
      {"Empty", Bytes{}, kNotBmp},
      {"OneByte", Bytes{'B'}, kNotBmp},
      // A complete header of a size some BMP uses. The odd sizes go on a
      // file with a 124-byte header, so each is refused for its value, not
      // for running past the end of the file.
      {"HeaderCutBeforeBitCount",
       Cut(Valid(WithBitCount(Layout(4, 2), 32)), 27), kNotBmp},
      {"HeaderSize0", Patched(Valid(4, 2, 124), kHeaderSizeAt, 0), kNotBmp},
      {"HeaderSize11", Patched(Valid(4, 2, 124), kHeaderSizeAt, 11), kNotBmp},
      {"HeaderSize13", Patched(Valid(4, 2, 124), kHeaderSizeAt, 13), kNotBmp},
      {"HeaderSize15", Patched(Valid(4, 2, 124), kHeaderSizeAt, 15), kNotBmp},
      {"HeaderSize65", Patched(Valid(4, 2, 124), kHeaderSizeAt, 65), kNotBmp},
      {"HeaderSize100", Patched(Valid(4, 2, 124), kHeaderSizeAt, 100), kNotBmp},
      {"HeaderSize125", Patched(Valid(4, 2, 124), kHeaderSizeAt, 125), kNotBmp},
      {"HeaderSizeMax", Patched(Valid(4, 2, 124), kHeaderSizeAt, 0xFFFFFFFF),
       kNotBmp},
      // Bit count.
      {"BitCount32", Valid(WithBitCount(Layout(4, 2), 32)), WrongBitCount(32)},
      {"BitCount16", Valid(WithBitCount(Layout(4, 2), 16)), WrongBitCount(16)},
      {"BitCount8InCoreHeader", Valid(WithBitCount(Layout(4, 2, 12), 8)),
       WrongBitCount(8)},
      {"BitCount0", Patched(Valid(), kBitCountAt, 0, 2), WrongBitCount(0)},
      {"BitCount65535", Patched(Valid(), kBitCountAt, 65535, 2),
       WrongBitCount(65535)},
      {"BitCountBeforeSize", Valid(WithBitCount(Layout(10001, 1), 1)),
       WrongBitCount(1)},
      // JPEG and PNG payloads have no bit count of their own: 0.
      {"JpegWithBitCount0",
       Valid(WithBitCount(WithCompression(Layout(4, 2, 124), 4), 0)),
       kCompressed},
      {"PngWithBitCount0",
       Valid(WithBitCount(WithCompression(Layout(4, 2, 108), 5), 0)),
       kCompressed},
      {"Rle8WithBitCount0",
       Valid(WithBitCount(WithCompression(Layout(4, 2), 1), 0)),
       WrongBitCount(0)},
      // Size.
      {"Width10001", Valid(10001, 1), kTooLarge},
      {"Height10001", Valid(1, 10001), kTooLarge},
      {"TopDownHeight10001", Valid(1, -10001), kTooLarge},
      {"CoreHeaderWidth10001", Valid(10001, 1, 12), kTooLarge},
      {"SizeBeforeCompression", Valid(WithCompression(Layout(1, 10001), 1)),
       kTooLarge},
      // -2147483648 has no positive 32-bit counterpart to take the size of.
      {"HeightMinInt", Patched(Valid(), kHeightAt, 0x80000000), kTooLarge},
      {"WidthMaxInt", Patched(Valid(), kWidthAt, 0x7FFFFFFF), kTooLarge},
      {"CoreHeader65535Square",
       Patched(Patched(Valid(1, 1, 12), 18, 0xFFFF, 2), 20, 0xFFFF, 2),
       kTooLarge},
      // Layout: the width's sign, where the pixels start.
      {"NegativeWidth", Patched(Valid(), kWidthAt, static_cast<uint32_t>(-4)),
       kNotBmp},
      {"WidthMinInt", Patched(Valid(), kWidthAt, 0x80000000), kNotBmp},
      {"PixelOffsetZero", Patched(Valid(), kOffBitsAt, 0), kNotBmp},
      {"PixelsStartInsideHeader", Patched(Valid(), kOffBitsAt, 53), kNotBmp},
      {"PixelsStartInsideV5Header", Patched(Valid(4, 2, 124), kOffBitsAt, 54),
       kNotBmp},
      {"PixelsStartInsideMasks",
       Patched(Valid(WithMasks(Layout(4, 2), 0xFF0000, 0xFF00, 0xFF)),
               kOffBitsAt, 54),
       kNotBmp},
      // Compression.
      {"Rle8", Valid(WithCompression(Layout(4, 2), 1)), kCompressed},
      {"Jpeg", Valid(WithCompression(Layout(4, 2, 124), 4)), kCompressed},
      {"Png", Valid(WithCompression(Layout(4, 2, 108), 5)), kCompressed},
      // In an OS/2 2.x header, 3 is Huffman coding and 4 is RLE24.
      {"Os2Huffman", Valid(WithCompression(Layout(4, 2, 64), 3)), kCompressed},
      {"Os2Rle24", Valid(WithCompression(Layout(4, 2, 64), 4)), kCompressed},
      {"BitFieldsSwapped",
       Valid(WithMasks(Layout(4, 2), 0xFF, 0xFF00, 0xFF0000)), kCompressed},
      {"BitFields565InV5Header",
       Valid(WithMasks(Layout(4, 2, 124), 0xF800, 0x7E0, 0x1F)), kCompressed},
      // Length of the pixel data.
      {"LastRowCutShort", Cut(Valid(5, 3), 54 + 16 * 2 + 14), kTruncated},
      {"EndsInTheGapBeforePixels",
       Cut(Valid(WithGap(Layout(5, 3), 64)), 54 + 32), kTruncated},
      {"NoPixelsAtAll", Cut(Valid(1, 1, 12), 26), kTruncated},
      {"PixelOffsetMax", Patched(Valid(), kOffBitsAt, 0xFFFFFFFF), kTruncated},
      // The end of the pixel data lies past 2^32 + 2^31: 64-bit arithmetic
      // or bust.
      {"PixelOffsetMaxLargestTopDownPicture",
       Patched(
           Patched(Patched(Valid(), kOffBitsAt, 0xFFFFFFFF), kWidthAt, 10000),
           kHeightAt, static_cast<uint32_t>(-10000)),
       kTruncated},
      // 200 MB of output promised by a 60-byte file.
      {"Claims10000x10000In60Bytes",
       Cut(Patched(Patched(Valid(), kWidthAt, 10000), kHeightAt, 10000), 60),
       kTruncated},
  };
}

std::string CaseName(const ::testing::TestParamInfo<RefusalCase>& info) {
  return info.param.name;
}

class RefusalTest
    : public ScratchDirTest<::testing::TestWithParam<RefusalCase>> {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    WriteFile(Path("out.raw"), Bytes(64, 0x5A));
  }

  void ExpectRefused(const ToolRun& run, const std::string& input_path) {
    EXPECT_EQ(run.out, Echo(input_path, Path("out.raw")) + GetParam().message);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_TRUE(FileExists(Path("out.raw")));
    EXPECT_EQ(ReadFile(Path("out.raw")), Bytes{});
  }
};

TEST_P(RefusalTest, FromAFileBeforeAnyPixelIsWritten) {
  WriteFile(Path("in.bmp"), GetParam().file);
  // Any output block the tool began to write would overrun this limit and
  // end the run with the write failure, not the expected refusal (POSIX).
  ToolOptions options;
  options.file_size_limit = 4096;
  const ToolRun run = RunTool({Path("in.bmp"), Path("out.raw")}, options);
  ExpectRefused(run, Path("in.bmp"));
  EXPECT_EQ(ReadFile(Path("in.bmp")), GetParam().file);
}

#ifndef _WIN32
TEST_P(RefusalTest, FromAPipe) {
  const ToolRun run =
      RunToolOnPipe({"/dev/stdin", Path("out.raw")}, GetParam().file);
  ExpectRefused(run, "/dev/stdin");
}
#endif  // _WIN32

INSTANTIATE_TEST_SUITE_P(Headers, RefusalTest,
                         ::testing::ValuesIn(RefusalCases()), CaseName);

}  // namespace
