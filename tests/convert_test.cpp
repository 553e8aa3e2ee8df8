// The converter called in-process, without the command-line front end: the
// same messages and output bytes as the tool, and nothing left open behind.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

class ConvertTest : public ScratchDirTest<> {};

TEST_F(ConvertTest, PrintsOnlyItsOutcomeAndClosesBothFiles) {
  struct Case {
    const char* name;
    Bytes input;  // empty: no input file at all
    std::string message;
    bool output_created;
  };
  const Bytes pixels = SampleColours(6, 5);
  Bytes bit_count_32 = MakeBitmap(Layout(2, 2), SampleColours(2, 2));
  bit_count_32[28] = 32;
  Bytes cut = MakeBitmap(Layout(6, 5), pixels);
  cut.resize(cut.size() - 20);
  const Case cases[] = {
      {"converted", MakeBitmap(Layout(6, 5), pixels), kConverted, true},
      {"missing input", {}, kCantOpenInput, false},
      {"bit count", bit_count_32, WrongBitCount(32), true},
      {"truncated", cut, kTruncated, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::string input = Path(std::string(test.name) + ".bmp");
    const std::string output = Path(std::string(test.name) + ".raw");
    if (!test.input.empty()) {
      WriteFile(input, test.input);
    }
    const size_t descriptors = CountOpenFiles();
    const Captured printed = ConvertInProcess(input, output, dir_);
    EXPECT_EQ(printed.out, test.message);
    EXPECT_EQ(printed.err, "");
    EXPECT_EQ(CountOpenFiles(), descriptors);
    EXPECT_EQ(FileExists(output), test.output_created);
    if (test.output_created) {
      EXPECT_EQ(ReadFile(output),
                test.message == kConverted ? ReferencePack(pixels) : Bytes{});
    }
  }
}

// One process, many pictures of different shapes: nothing carries over from
// one call to the next.
TEST_F(ConvertTest, ConvertsPictureAfterPictureInOneProcess) {
  const int32_t sizes[][2] = {{997, 301}, {3, -7}, {1, 1}, {640, -480}, {5, 2}};
  uint32_t salt = 1;
  for (const auto& size : sizes) {
    SCOPED_TRACE(std::to_string(size[0]) + "x" + std::to_string(size[1]));
    const Bytes pixels = SampleColours(size[0], size[1], salt++);
    WriteFile(Path("in.bmp"), MakeBitmap(Layout(size[0], size[1]), pixels));
    const Captured printed =
        ConvertInProcess(Path("in.bmp"), Path("out.raw"), dir_);
    EXPECT_EQ(printed.out, kConverted);
    EXPECT_EQ(ReadFile(Path("out.raw")), ReferencePack(pixels));
  }
}

}  // namespace
