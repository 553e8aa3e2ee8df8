// The tool run as a process: what it prints, its exit status and the bytes
// it leaves in the output file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

class ToolTest : public ScratchDirTest<> {};

// Bytes to overwrite in a built file, for the fields MakeBitmap has no
// setting for.
struct Patch {
  size_t offset;
  Bytes bytes;
};

Bytes Le32(int64_t value) {
  const auto bits = static_cast<uint32_t>(value);
  return {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
          static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)};
}

constexpr size_t kOffBitsAt = 10;
constexpr size_t kHeaderSizeAt = 14;
constexpr size_t kWidthAt = 18;
constexpr size_t kNoCut = SIZE_MAX;

// One input file: a bitmap of varied colours, optionally patched and cut.
struct InputCase {
  const char* name;
  BitmapLayout layout;
  std::vector<Patch> patches;
  size_t keep_bytes = kNoCut;  // cut the file to this length
  bool output_exists = false;  // the output path holds an older file
};

InputCase Case(const char* name, const BitmapLayout& layout,
               std::vector<Patch> patches = {}, size_t keep_bytes = kNoCut,
               bool output_exists = false) {
  return {name, layout, std::move(patches), keep_bytes, output_exists};
}

Bytes BuildInput(const InputCase& input, const Bytes& pixels) {
  Bytes file = MakeBitmap(input.layout, pixels);
  for (const Patch& patch : input.patches) {
    std::copy(patch.bytes.begin(), patch.bytes.end(),
              file.begin() + static_cast<std::ptrdiff_t>(patch.offset));
  }
  if (input.keep_bytes != kNoCut) {
    file.resize(input.keep_bytes);
  }
  return file;
}

// Test listings show the case's name rather than its bytes.
void PrintTo(const InputCase& input, std::ostream* out) { *out << input.name; }

std::string CaseName(const ::testing::TestParamInfo<InputCase>& info) {
  return info.param.name;
}

// --- Refusals -------------------------------------------------------------

struct RefusalCase {
  InputCase input;
  const char* message;
};

void PrintTo(const RefusalCase& refusal, std::ostream* out) {
  *out << refusal.input.name;
}

std::string RefusalName(const ::testing::TestParamInfo<RefusalCase>& info) {
  return info.param.input.name;
}

class RefusalTest : public ToolTest,
                    public ::testing::WithParamInterface<RefusalCase> {};

// Every refusal names its reason once, leaves the output behind empty, and
// still exits 0: only the argument count sets the status.
TEST_P(RefusalTest, PrintsTheReasonAndLeavesAnEmptyOutput) {
  const RefusalCase& refusal = GetParam();
  const BitmapLayout& layout = refusal.input.layout;
  WriteFile(
      Path("in.bmp"),
      BuildInput(refusal.input, SampleColours(layout.width, layout.height)));
  if (refusal.input.output_exists) {
    WriteFile(Path("out.raw"), Bytes(100, 0x5A));
  }
  const ToolRun run = RunTool({Path("in.bmp"), Path("out.raw")});
  EXPECT_EQ(run.out, Echo(Path("in.bmp"), Path("out.raw")) + refusal.message);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_TRUE(FileExists(Path("out.raw")));
  EXPECT_EQ(ReadFile(Path("out.raw")), Bytes{});
}

constexpr const char* kNotBmp = "Input file is not a valid BMP\n";
constexpr const char* kTooLarge = "Input image is too large\n";
constexpr const char* kCompressed =
    "Input file is compressed. Must be uncompressed\n";
constexpr const char* kTruncated = "Input file is truncated\n";

BitmapLayout WithBitCount(BitmapLayout layout, uint16_t bit_count) {
  layout.bit_count = bit_count;
  return layout;
}

BitmapLayout WithCompression(BitmapLayout layout, uint32_t compression) {
  layout.compression = compression;
  return layout;
}

BitmapLayout WithMasks(BitmapLayout layout, uint32_t red, uint32_t green,
                       uint32_t blue) {
  layout.compression = 3;
  layout.masks[0] = red;
  layout.masks[1] = green;
  layout.masks[2] = blue;
  return layout;
}

// Ordered as the tool tests them: signature, complete header, bit count,
// size, layout, compression, then the length of the pixel data. Cases that
// break two rules expect the earlier one.
INSTANTIATE_TEST_SUITE_P(
    Tool, RefusalTest,
    ::testing::Values(
        RefusalCase{Case("NoSignature", Layout(4, 2), {{0, {'P', '6'}}}),
                    kNotBmp},
        RefusalCase{Case("SignatureBeforeBitCount",
                         WithBitCount(Layout(4, 2), 32), {{0, {'M', 'B'}}}),
                    kNotBmp},
        RefusalCase{Case("EmptyFile", Layout(4, 2), {}, 0), kNotBmp},
        RefusalCase{Case("HeaderCutBeforeBitCount",
                         WithBitCount(Layout(4, 2), 32), {}, 27),
                    kNotBmp},
        RefusalCase{Case("BitCount32", WithBitCount(Layout(4, 2), 32), {},
                         kNoCut, true),
                    "Input file is 32 bits per pixel. Must be 24 bpp\n"},
        RefusalCase{Case("BitCount16", WithBitCount(Layout(4, 2), 16)),
                    "Input file is 16 bits per pixel. Must be 24 bpp\n"},
        RefusalCase{
            Case("BitCount8InCoreHeader", WithBitCount(Layout(4, 2, 12), 8)),
            "Input file is 8 bits per pixel. Must be 24 bpp\n"},
        RefusalCase{
            Case("BitCountBeforeSize", WithBitCount(Layout(10001, 1), 1)),
            "Input file is 1 bits per pixel. Must be 24 bpp\n"},
        RefusalCase{Case("Width10001", Layout(10001, 1), {}, kNoCut, true),
                    kTooLarge},
        RefusalCase{Case("Height10001", Layout(1, 10001)), kTooLarge},
        RefusalCase{Case("TopDownHeight10001", Layout(1, -10001)), kTooLarge},
        RefusalCase{Case("CoreHeaderWidth10001", Layout(10001, 1, 12)),
                    kTooLarge},
        RefusalCase{
            Case("SizeBeforeCompression", WithCompression(Layout(1, 10001), 1)),
            kTooLarge},
        RefusalCase{Case("NegativeWidth", Layout(4, 2), {{kWidthAt, Le32(-4)}}),
                    kNotBmp},
        RefusalCase{
            Case("HeaderSize0", Layout(4, 2), {{kHeaderSizeAt, Le32(0)}}),
            kNotBmp},
        RefusalCase{
            Case("HeaderSize13", Layout(4, 2), {{kHeaderSizeAt, Le32(13)}}),
            kNotBmp},
        RefusalCase{
            Case("HeaderSize15", Layout(4, 2), {{kHeaderSizeAt, Le32(15)}}),
            kNotBmp},
        RefusalCase{Case("HeaderSize65", Layout(4, 2, 124),
                         {{kHeaderSizeAt, Le32(65)}}),
                    kNotBmp},
        RefusalCase{Case("HeaderSize100", Layout(4, 2, 124),
                         {{kHeaderSizeAt, Le32(100)}}),
                    kNotBmp},
        RefusalCase{Case("HeaderSize125", Layout(4, 2, 124),
                         {{kHeaderSizeAt, Le32(125)}}),
                    kNotBmp},
        RefusalCase{Case("PixelsStartInsideHeader", Layout(4, 2),
                         {{kOffBitsAt, Le32(53)}}),
                    kNotBmp},
        RefusalCase{Case("PixelsStartInsideV5Header", Layout(4, 2, 124),
                         {{kOffBitsAt, Le32(54)}}),
                    kNotBmp},
        RefusalCase{Case("PixelsStartInsideMasks",
                         WithMasks(Layout(4, 2), 0xFF0000, 0xFF00, 0xFF),
                         {{kOffBitsAt, Le32(54)}}),
                    kNotBmp},
        RefusalCase{Case("Rle8", WithCompression(Layout(4, 2), 1)),
                    kCompressed},
        RefusalCase{Case("Jpeg", WithCompression(Layout(4, 2, 124), 4)),
                    kCompressed},
        RefusalCase{Case("Png", WithCompression(Layout(4, 2, 108), 5)),
                    kCompressed},
        // In an OS/2 2.x header, 3 is Huffman coding and 4 is RLE24.
        RefusalCase{Case("Os2Huffman", WithCompression(Layout(4, 2, 64), 3)),
                    kCompressed},
        RefusalCase{Case("Os2Rle24", WithCompression(Layout(4, 2, 64), 4)),
                    kCompressed},
        RefusalCase{Case("BitFieldsSwapped",
                         WithMasks(Layout(4, 2), 0xFF, 0xFF00, 0xFF0000)),
                    kCompressed},
        RefusalCase{Case("BitFields565InV5Header",
                         WithMasks(Layout(4, 2, 124), 0xF800, 0x7E0, 0x1F)),
                    kCompressed},
        RefusalCase{
            Case("LastRowCutShort", Layout(5, 3), {}, 54 + 16 * 2 + 14, true),
            kTruncated},
        RefusalCase{Case("EndsInTheGapBeforePixels", WithGap(Layout(5, 3), 64),
                         {}, 54 + 32),
                    kTruncated},
        RefusalCase{Case("NoPixelsAtAll", Layout(1, 1, 12), {}, 26),
                    kTruncated}),
    RefusalName);

// --- Conversions ------------------------------------------------------------

class ConversionTest : public ToolTest,
                       public ::testing::WithParamInterface<InputCase> {};

// The output holds every pixel, top row first, whatever the header kind, the
// row order or the padding; an older, longer output is replaced whole.
TEST_P(ConversionTest, WritesEveryPixelTopRowFirst) {
  const InputCase& input = GetParam();
  const Bytes pixels = SampleColours(input.layout.width, input.layout.height);
  WriteFile(Path("in.bmp"), BuildInput(input, pixels));
  if (input.output_exists) {
    WriteFile(Path("out.raw"), Bytes(pixels.size() + 100, 0x5A));
  }
  const ToolRun run = RunTool({Path("in.bmp"), Path("out.raw")});
  EXPECT_EQ(run.out, Echo(Path("in.bmp"), Path("out.raw")) +
                         "Image converted successfully");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(ReadFile(Path("out.raw")), ReferencePack(pixels));
}

BitmapLayout TopDown(BitmapLayout layout) {
  layout.height = -layout.height;
  return layout;
}

BitmapLayout WithoutLastPadding(BitmapLayout layout) {
  layout.drop_last_padding = true;
  return layout;
}

INSTANTIATE_TEST_SUITE_P(
    Tool, ConversionTest,
    ::testing::Values(
        // Every header kind that writers use.
        Case("CoreHeader", Layout(5, 3, 12)),
        Case("Os2Header16", Layout(5, 3, 16)),
        Case("Os2Header64", Layout(5, 3, 64)),
        Case("InfoHeader", Layout(5, 3, 40)),
        Case("V2Header", Layout(5, 3, 52)), Case("V3Header", Layout(5, 3, 56)),
        Case("V4Header", Layout(5, 3, 108)),
        Case("V5Header", Layout(5, 3, 124)),
        Case("BitFieldsUsualMasks",
             WithMasks(Layout(5, 3), 0xFF0000, 0xFF00, 0xFF)),
        Case("BitFieldsUsualMasksInV5Header",
             WithMasks(Layout(5, 3, 124), 0xFF0000, 0xFF00, 0xFF)),
        // A colour table or any gap before the pixels.
        Case("GapBeforePixels", WithGap(Layout(5, 3), 1024)),
        Case("GapAfterCoreHeader", WithGap(Layout(5, 3, 12), 7)),
        Case("GapAfterMasks",
             WithGap(WithMasks(Layout(5, 3), 0xFF0000, 0xFF00, 0xFF), 5)),
        Case("TopDown", TopDown(Layout(5, 4))),
        Case("TopDownV5Header", TopDown(Layout(7, 3, 124))),
        // Every amount of row padding, twice over.
        Case("Width1", Layout(1, 3)), Case("Width2", Layout(2, 3)),
        Case("Width3", Layout(3, 3)), Case("Width4", Layout(4, 3)),
        Case("Width5", Layout(5, 3)), Case("Width6", Layout(6, 3)),
        Case("Width7", Layout(7, 3)), Case("Width8", Layout(8, 3)),
        Case("Width0", Layout(0, 5)), Case("Height0", Layout(5, 0)),
        Case("Width0TopDown", Layout(0, -5)),
        Case("LastPaddingMissing", WithoutLastPadding(Layout(5, 3))),
        Case("LastPaddingMissingTopDown",
             WithoutLastPadding(TopDown(Layout(3, 4)))),
        Case("Width10000", Layout(10000, 2)),
        Case("Height10000", Layout(1, 10000)),
        Case("TopDownHeight10000", TopDown(Layout(2, 10000))),
        // Enough rows for several blocks of input.
        Case("ManyRows", Layout(997, 301)),
        Case("ManyRowsTopDown", TopDown(Layout(998, 299, 124))),
        Case("ReplacesALongerOutput", Layout(5, 3), {}, kNoCut, true)),
    CaseName);

// --- Single cases
// -------------------------------------------------------------

TEST_F(ToolTest, ConvertsTheTwoByTwoPictureTopRowFirst) {
  // Bottom row blue, green; top row red, white.
  const Bytes file = {'B', 'M', 70, 0, 0,    0,    0,    0,    0, 0, 54,   0,
                      0,   0,   40, 0, 0,    0,    2,    0,    0, 0, 2,    0,
                      0,   0,   1,  0, 24,   0,    0,    0,    0, 0, 16,   0,
                      0,   0,   0,  0, 0,    0,    0,    0,    0, 0, 0,    0,
                      0,   0,   0,  0, 0,    0,    0xFF, 0,    0, 0, 0xFF, 0,
                      0,   0,   0,  0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
  WriteFile(Path("in.bmp"), file);
  const ToolRun run = RunTool({Path("in.bmp"), Path("out.raw")});
  EXPECT_EQ(run.out, Echo(Path("in.bmp"), Path("out.raw")) +
                         "Image converted successfully");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(ReadFile(Path("out.raw")),
            (Bytes{0x00, 0xF8, 0xFF, 0xFF, 0x1F, 0x00, 0xE0, 0x07}));
}

TEST_F(ToolTest, DropsLowBitsWithoutRounding) {
  // Blue, green, red: (7, 3, 7) just below a step, (8, 4, 8) on it.
  WriteFile(Path("in.bmp"), MakeBitmap(Layout(2, 1), Bytes{7, 3, 7, 8, 4, 8}));
  const ToolRun run = RunTool({Path("in.bmp"), Path("out.raw")});
  EXPECT_EQ(run.out, Echo(Path("in.bmp"), Path("out.raw")) +
                         "Image converted successfully");
  EXPECT_EQ(ReadFile(Path("out.raw")), (Bytes{0x00, 0x00, 0x21, 0x08}));
}

TEST_F(ToolTest, WrongArgumentCountPrintsUsageAndFails) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"a"},
                                               {"a", "b", "c"},
                                               {"a", "b", "c", "d"}}) {
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.out, "syntax: bravik <input file> <output file>\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 1);
  }
}

TEST_F(ToolTest, TooManyArgumentsTouchNoFile) {
  WriteFile(Path("in.bmp"), MakeBitmap(Layout(2, 2), SampleColours(2, 2)));
  const ToolRun run = RunTool({Path("in.bmp"), Path("out.raw"), Path("x")});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_FALSE(FileExists(Path("out.raw")));
  EXPECT_FALSE(FileExists(Path("x")));
}

TEST_F(ToolTest, EchoesPathsWithSpacesExactly) {
  const std::string input = Path(" my picture .bmp");
  const std::string output = Path("raw  out put");
  const Bytes pixels = SampleColours(3, 2);
  WriteFile(input, MakeBitmap(Layout(3, 2), pixels));
  const ToolRun run = RunTool({input, output});
  EXPECT_EQ(run.out, Echo(input, output) + "Image converted successfully");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(ReadFile(output), ReferencePack(pixels));
}

TEST_F(ToolTest, MissingInputCreatesNoOutput) {
  for (const char* name : {"absent.bmp", "no such picture.bmp"}) {
    const ToolRun run = RunTool({Path(name), Path("out.raw")});
    EXPECT_EQ(run.out,
              Echo(Path(name), Path("out.raw")) + "Couldn't open input file\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_FALSE(FileExists(Path("out.raw")));
  }
}

// The echo lines pass the paths through untouched, even ones that look like
// options or are empty.
TEST_F(ToolTest, EchoesOddArgumentsAsGiven) {
  const ToolRun run = RunTool({"--help", ""});
  EXPECT_EQ(run.out, Echo("--help", "") + "Couldn't open input file\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
}

}  // namespace
