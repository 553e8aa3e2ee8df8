// Shared by the test programs: building BMP files in memory, a reference
// pack to compare against, and running the tool as a separate process.
#ifndef BRAVIK_TESTS_TEST_SUPPORT_H_
#define BRAVIK_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// How to lay out a test bitmap. The defaults give the classic 54-byte
// header, bottom-up rows and four-byte row padding.
struct BitmapLayout {
  int32_t width = 0;
  int32_t height = 0;         // negative: rows stored top row first
  uint32_t header_size = 40;  // 12 writes the OS/2 core header
  uint16_t bit_count = 24;
  uint32_t compression = 0;
  uint32_t masks[3] = {0xFF0000, 0xFF00, 0xFF};  // written when compression 3
  uint32_t gap = 0;  // extra bytes between headers and pixels
  bool drop_last_padding = false;
};

// A classic bitmap layout of the given size and information header size.
BitmapLayout Layout(int32_t width, int32_t height, uint32_t header_size = 40);
// `layout` with `gap` extra bytes between its headers and its pixels.
BitmapLayout WithGap(BitmapLayout layout, uint32_t gap);

// Picture pixels, top row first, blue-green-red, no padding: what a viewer
// would show. `SampleColours` gives a deterministic varied picture.
Bytes SampleColours(int32_t width, int32_t height, uint32_t salt = 1);

// A whole BMP file holding `pixels` (top row first, as from SampleColours).
Bytes MakeBitmap(const BitmapLayout& layout, const Bytes& pixels);

// The expected tool output for `pixels`: one little-endian word per pixel,
// top row first, written out the long way for comparison.
Bytes ReferencePack(const Bytes& pixels);

// The two lines the tool prints before it opens any file.
std::string Echo(const std::string& input, const std::string& output);

struct ToolRun {
  int exit_status = -1;
  std::string out;
  std::string err;
};

// Runs the built bravik with `args`, standard input from `stdin_path`
// (/dev/null when empty), and collects both output streams and the status.
ToolRun RunTool(const std::vector<std::string>& args,
                const std::string& stdin_path = "");

// Runs the tool with standard input a pipe that another thread fills with
// `stdin_bytes` and then closes, so "/dev/stdin" names a pipe.
ToolRun RunToolOnPipe(const std::vector<std::string>& args,
                      const Bytes& stdin_bytes);

// Writes `bytes` into the pipe or FIFO `fd` and closes it. Stops early,
// without a signal, once the reader has gone: a refusal need not read it all.
void FeedPipe(int fd, const Bytes& bytes);

// Runs the tool unable to grow any file past `max_bytes`: a write beyond
// fails (EFBIG) instead of raising SIGXFSZ. Shows how much a run writes.
ToolRun RunToolWithFileSizeLimit(const std::vector<std::string>& args,
                                 uint64_t max_bytes);

// A fresh empty directory under the system's temporary directory, removed
// with everything in it by RemoveTree.
std::string MakeScratchDir();
void RemoveTree(const std::string& path);

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);
bool FileExists(const std::string& path);

// A test with a fresh scratch directory of its own, removed afterwards.
// `Base` is ::testing::Test or a ::testing::TestWithParam<...>.
template <typename Base = ::testing::Test>
class ScratchDirTest : public Base {
 protected:
  void SetUp() override { dir_ = MakeScratchDir(); }
  void TearDown() override { RemoveTree(dir_); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

#endif  // BRAVIK_TESTS_TEST_SUPPORT_H_
