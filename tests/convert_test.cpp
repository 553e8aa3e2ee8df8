// The converter called in-process, without the command-line front end: the
// same messages and output bytes as the tool, and nothing left open behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "convert_bitmap.h"
#include "test_support.h"

namespace {

struct Captured {
  std::string out;
  std::string err;
};

// Runs ConvertBitmap with standard output and standard error sent to files,
// and returns what it printed on each.
Captured CaptureConvert(const std::string& input, const std::string& output,
                        const std::string& scratch) {
  const std::string out_path = scratch + "/stdout";
  const std::string err_path = scratch + "/stderr";
  std::fflush(stdout);
  std::fflush(stderr);
  const int saved_out = dup(STDOUT_FILENO);
  const int saved_err = dup(STDERR_FILENO);
  const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(out_fd, STDOUT_FILENO);
  dup2(err_fd, STDERR_FILENO);
  close(out_fd);
  close(err_fd);

  ConvertBitmap(input.c_str(), output.c_str());

  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_out, STDOUT_FILENO);
  dup2(saved_err, STDERR_FILENO);
  close(saved_out);
  close(saved_err);
  const Bytes out = ReadFile(out_path);
  const Bytes err = ReadFile(err_path);
  std::filesystem::remove(out_path);
  std::filesystem::remove(err_path);
  return {{out.begin(), out.end()}, {err.begin(), err.end()}};
}

size_t CountOpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

class ConvertTest : public ScratchDirTest<> {};

TEST_F(ConvertTest, PrintsOnlyItsOutcomeAndClosesBothFiles) {
  struct Case {
    const char* name;
    Bytes input;  // empty: no input file at all
    const char* message;
    bool output_created;
  };
  const Bytes pixels = SampleColours(6, 5);
  Bytes bit_count_32 = MakeBitmap(Layout(2, 2), SampleColours(2, 2));
  bit_count_32[28] = 32;
  Bytes cut = MakeBitmap(Layout(6, 5), pixels);
  cut.resize(cut.size() - 20);
  const Case cases[] = {
      {"converted", MakeBitmap(Layout(6, 5), pixels),
       "Image converted successfully", true},
      {"missing input", {}, "Couldn't open input file\n", false},
      {"bit count", bit_count_32,
       "Input file is 32 bits per pixel. Must be 24 bpp\n", true},
      {"truncated", cut, "Input file is truncated\n", true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::string input = Path(std::string(test.name) + ".bmp");
    const std::string output = Path(std::string(test.name) + ".raw");
    if (!test.input.empty()) {
      WriteFile(input, test.input);
    }
    const size_t descriptors = CountOpenDescriptors();
    const Captured printed = CaptureConvert(input, output, dir_);
    EXPECT_EQ(printed.out, test.message);
    EXPECT_EQ(printed.err, "");
    EXPECT_EQ(CountOpenDescriptors(), descriptors);
    EXPECT_EQ(FileExists(output), test.output_created);
    if (test.output_created) {
      EXPECT_EQ(ReadFile(output), std::string(test.message).starts_with("Image")
                                      ? ReferencePack(pixels)
                                      : Bytes{});
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
        CaptureConvert(Path("in.bmp"), Path("out.raw"), dir_);
    EXPECT_EQ(printed.out, "Image converted successfully");
    EXPECT_EQ(ReadFile(Path("out.raw")), ReferencePack(pixels));
  }
}

}  // namespace
