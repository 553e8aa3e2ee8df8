// Shared by the test programs: building BMP files in memory, a reference
// pack to compare against, and running the tool as a separate process.
#ifndef BRAVIK_TESTS_TEST_SUPPORT_H_
#define BRAVIK_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tool_messages.h"

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
  uint32_t gap = 0;      // extra bytes between headers and pixels
  uint32_t trailer = 0;  // bytes after the pixels, counted in bfSize
  bool drop_last_padding = false;
};

// A classic bitmap layout of the given size and information header size.
BitmapLayout Layout(int32_t width, int32_t height, uint32_t header_size = 40);
// `layout` changed in one respect.
BitmapLayout WithGap(BitmapLayout layout, uint32_t gap);
BitmapLayout WithTrailer(BitmapLayout layout, uint32_t trailer);
BitmapLayout WithBitCount(BitmapLayout layout, uint16_t bit_count);
BitmapLayout WithCompression(BitmapLayout layout, uint32_t compression);
// Bit fields (compression 3) with these masks.
BitmapLayout WithMasks(BitmapLayout layout, uint32_t red, uint32_t green,
                       uint32_t blue);
BitmapLayout TopDown(BitmapLayout layout);
BitmapLayout WithoutLastPadding(BitmapLayout layout);

// Picture pixels, top row first, blue-green-red, no padding: what a viewer
// would show. `SampleColours` gives a deterministic varied picture.
Bytes SampleColours(int32_t width, int32_t height, uint32_t salt = 1);

// A whole BMP file holding `pixels` (top row first, as from SampleColours).
// Its bfSize is its true length.
Bytes MakeBitmap(const BitmapLayout& layout, const Bytes& pixels);

// `file` with the `size` bytes at `offset` set to `value`, low byte first.
Bytes Patched(Bytes file, size_t offset, uint32_t value, size_t size = 4);

// The expected tool output for `pixels`: one little-endian word per pixel,
// top row first, written out the long way for comparison.
Bytes ReferencePack(const Bytes& pixels);

// The two lines the tool prints before it opens any file.
std::string Echo(const std::string& input, const std::string& output);

struct ToolRun {
  int exit_status = -1;  // 128 + the signal's number if one ended the tool
  int signal = 0;        // the signal that ended it, or 0
  std::string out;
  std::string err;
};

struct ToolOptions {
  std::string stdin_path;   // empty: /dev/null
  std::string stdout_path;  // empty: captured into ToolRun::out
  // Programs the tool is started under, e.g. {"/usr/bin/time", "-o", f}.
  std::vector<std::string> prefix;
  // RLIMIT_FSIZE in the child, with SIGXFSZ left at its default; 0: none.
  uint64_t file_size_limit = 0;
  // Signals the child starts with ignored, as nohup or a shell's background
  // job would leave them. POSIX only, like the limit above.
  std::vector<int> ignored_signals;
  // Windows: a process group of its own, so that Ctrl-Break can be sent to
  // the tool alone.
  bool new_process_group = false;
};

// Runs the built bravik with `args` and collects both output streams and
// how it ended. The child starts with every signal at its default action and
// none blocked, whatever this process has set.
ToolRun RunTool(const std::vector<std::string>& args,
                const ToolOptions& options = {});

// A tool started and not yet waited for.
struct StartedTool {
  int pid = -1;                 // POSIX
  intptr_t process_handle = 0;  // Windows
  std::string scratch;          // holds the captured streams
  bool capture_stdout = true;
};
StartedTool StartTool(const std::vector<std::string>& args,
                      const ToolOptions& options = {});
// A tool still running this long after the wait began is killed, and the
// test fails: a hung run costs one test, not the whole suite. Generous, for
// the emulators; a correct run ends in well under a second natively.
constexpr int kToolDeadlineSeconds = 120;
ToolRun WaitForTool(StartedTool* tool);
// What the tool has printed so far, while it runs.
std::string PrintedSoFar(const StartedTool& tool);

#ifndef _WIN32
// What became of a pipe's bytes once the tool had ended.
struct PipeReport {
  Bytes left_over;  // bytes the tool did not read
  // With a lingering writer: the tool did not end until the writer closed
  // the pipe (after 30 seconds), so it waited for more than it needed.
  bool tool_waited_for_close = false;
};

// Runs the tool with standard input a pipe that another thread fills with
// `stdin_bytes`, so "/dev/stdin" names a pipe. The writer then closes the
// pipe, or with `linger` keeps it open until the tool has ended, as a
// program that writes more later would.
ToolRun RunToolOnPipe(const std::vector<std::string>& args,
                      const Bytes& stdin_bytes, PipeReport* report = nullptr,
                      bool linger = false);

// A pipe whose ends close at exec.
bool MakePipe(int ends[2]);

// Writes `bytes` into the pipe or FIFO `fd`. Stops early, without a signal,
// once the reader has gone: a refusal need not read it all.
void WriteToPipe(int fd, const Bytes& bytes);
// The same, and then closes `fd`.
void FeedPipe(int fd, const Bytes& bytes);

// GNU time's report of the tool's peak resident memory in KiB, or -1 where
// GNU time is not installed.
long PeakMemoryKib(const std::vector<std::string>& args,
                   const std::string& scratch);

#endif  // _WIN32

struct Captured {
  std::string out;
  std::string err;
};

// Calls ConvertBitmap in this process with standard output and standard
// error sent to files under `scratch`, and returns what it printed on each.
Captured ConvertInProcess(const std::string& input, const std::string& output,
                          const std::string& scratch);

// A path given in UTF-8, as every path in these tests is.
std::filesystem::path FsPath(const std::string& utf8);
// A whole file as text; empty if it cannot be read.
std::string ReadText(const std::string& path);
// Descriptors or handles this process has open.
size_t CountOpenFiles();

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

// The same, with a small picture of varied colours in "in.bmp".
class PictureTest : public ScratchDirTest<> {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    picture_ = SampleColours(5, 3);
    input_ = MakeBitmap(Layout(5, 3), picture_);
    WriteFile(Path("in.bmp"), input_);
  }

  Bytes picture_;  // top row first, as MakeBitmap takes it
  Bytes input_;    // the file
};

#endif  // BRAVIK_TESTS_TEST_SUPPORT_H_
