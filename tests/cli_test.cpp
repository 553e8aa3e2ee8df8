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

// One picture to convert.
struct InputCase {
  const char* name;
  BitmapLayout layout;
  bool output_exists = false;  // the output path holds an older, longer file
};

// Test listings show the case's name rather than its bytes.
void PrintTo(const InputCase& input, std::ostream* out) { *out << input.name; }

std::string CaseName(const ::testing::TestParamInfo<InputCase>& info) {
  return info.param.name;
}

InputCase Case(const char* name, const BitmapLayout& layout,
               bool output_exists = false) {
  return {name, layout, output_exists};
}

// --- Conversions ------------------------------------------------------------

class ConversionTest : public ToolTest,
                       public ::testing::WithParamInterface<InputCase> {};

// The output holds every pixel, top row first, whatever the header kind, the
// row order or the padding; an older, longer output is replaced whole.
TEST_P(ConversionTest, WritesEveryPixelTopRowFirst) {
  const InputCase& input = GetParam();
  const Bytes pixels = SampleColours(input.layout.width, input.layout.height);
  WriteFile(Path("in.bmp"), MakeBitmap(input.layout, pixels));
  if (input.output_exists) {
    WriteFile(Path("out.raw"), Bytes(pixels.size() + 100, 0x5A));
  }
  const ToolRun run = RunTool({Path("in.bmp"), Path("out.raw")});
  EXPECT_EQ(run.out, Echo(Path("in.bmp"), Path("out.raw")) + kConverted);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(ReadFile(Path("out.raw")), ReferencePack(pixels));
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
        Case("ReplacesALongerOutput", Layout(5, 3), true)),
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
  EXPECT_EQ(run.out, Echo(Path("in.bmp"), Path("out.raw")) + kConverted);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(ReadFile(Path("out.raw")),
            (Bytes{0x00, 0xF8, 0xFF, 0xFF, 0x1F, 0x00, 0xE0, 0x07}));
}

TEST_F(ToolTest, DropsLowBitsWithoutRounding) {
  // Blue, green, red: (7, 3, 7) just below a step, (8, 4, 8) on it.
  WriteFile(Path("in.bmp"), MakeBitmap(Layout(2, 1), Bytes{7, 3, 7, 8, 4, 8}));
  const ToolRun run = RunTool({Path("in.bmp"), Path("out.raw")});
  EXPECT_EQ(run.out, Echo(Path("in.bmp"), Path("out.raw")) + kConverted);
  EXPECT_EQ(ReadFile(Path("out.raw")), (Bytes{0x00, 0x00, 0x21, 0x08}));
}

TEST_F(ToolTest, WrongArgumentCountPrintsUsageAndFails) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"a"},
                                               {"a", "b", "c"},
                                               {"a", "b", "c", "d"}}) {
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.out, kUsage);
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
  EXPECT_EQ(run.out, Echo(input, output) + kConverted);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(ReadFile(output), ReferencePack(pixels));
}

TEST_F(ToolTest, MissingInputCreatesNoOutput) {
  for (const char* name : {"absent.bmp", "no such picture.bmp"}) {
    const ToolRun run = RunTool({Path(name), Path("out.raw")});
    EXPECT_EQ(run.out, Echo(Path(name), Path("out.raw")) + kCantOpenInput);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_FALSE(FileExists(Path("out.raw")));
  }
}

// The echo lines pass the paths through untouched, even ones that look like
// options or are empty.
TEST_F(ToolTest, EchoesOddArgumentsAsGiven) {
  const ToolRun run = RunTool({"--help", ""});
  EXPECT_EQ(run.out, Echo("--help", "") + kCantOpenInput);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
}

}  // namespace
