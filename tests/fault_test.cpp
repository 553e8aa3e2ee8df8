// The tool against a hostile environment rather than a hostile file: outputs
// that cannot be written, the input named as the output, inputs that are
// directories, unreadable, or pipes that end early, and how much memory a
// large picture takes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "test_support.h"

extern char** environ;

namespace {

constexpr const char* kConverted = "Image converted successfully";
constexpr const char* kCantOpenInput = "Couldn't open input file\n";
constexpr const char* kCantOpenOutput = "Couldn't open output file\n";
constexpr const char* kCantWrite = "Couldn't write output file\n";
constexpr const char* kSameFile = "Input and output are the same file\n";
constexpr const char* kTruncated = "Input file is truncated\n";

// Root opens files whatever their permission bits say.
bool PermissionsApply() { return geteuid() != 0; }

class FaultTest : public ScratchDirTest<> {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    picture_ = SampleColours(5, 3);
    input_ = MakeBitmap(Layout(5, 3), picture_);
    WriteFile(Path("in.bmp"), input_);
  }
  void TearDown() override {
    // Undo any permission a test took away, so the tree can be removed.
    chmod(dir_.c_str(), 0700);
    ScratchDirTest::TearDown();
  }

  Bytes picture_;
  Bytes input_;
};

TEST_F(FaultTest, FullDeviceIsAWriteFailure) {
  const ToolRun run = RunTool({Path("in.bmp"), "/dev/full"});
  EXPECT_EQ(run.out, Echo(Path("in.bmp"), "/dev/full") + kCantWrite);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
}

// A disk that fills part way through: the output must not be left holding
// the part that fitted, as if it were a picture.
TEST_F(FaultTest, WriteFailurePartWayEmptiesTheOutput) {
  for (const int32_t height : {200, -200}) {
    SCOPED_TRACE(height);
    WriteFile(Path("big.bmp"),
              MakeBitmap(Layout(200, height), SampleColours(200, 200)));
    const ToolRun run =
        RunToolWithFileSizeLimit({Path("big.bmp"), Path("out.raw")}, 32768);
    EXPECT_EQ(run.out, Echo(Path("big.bmp"), Path("out.raw")) + kCantWrite);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_TRUE(FileExists(Path("out.raw")));
    EXPECT_EQ(ReadFile(Path("out.raw")), Bytes{});
  }
}

TEST_F(FaultTest, OutputThatCannotBeOpenedIsNotCreated) {
  mkdir(Path("existing dir").c_str(), 0700);
  mkdir(Path("read-only").c_str(), 0500);
  struct OutputCase {
    const char* name;
    std::string output;
    bool needs_permissions;
  };
  const OutputCase cases[] = {
      {"missing directory", Path("missing/out.raw"), false},
      {"a directory", Path("existing dir"), false},
      {"read-only directory", Path("read-only/out.raw"), true},
  };
  for (const OutputCase& output_case : cases) {
    SCOPED_TRACE(output_case.name);
    if (output_case.needs_permissions && !PermissionsApply()) {
      continue;  // reported by the skip below
    }
    const ToolRun run = RunTool({Path("in.bmp"), output_case.output});
    EXPECT_EQ(run.out,
              Echo(Path("in.bmp"), output_case.output) + kCantOpenOutput);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
  }
  EXPECT_FALSE(FileExists(Path("missing")));
  EXPECT_FALSE(FileExists(Path("read-only/out.raw")));
  EXPECT_EQ(ReadFile(Path("in.bmp")), input_);
  if (!PermissionsApply()) {
    GTEST_SKIP() << "running as root: the read-only directory is writable";
  }
}

// Emptying the output first would destroy the picture: however the input is
// named a second time, it must be refused and left alone.
TEST_F(FaultTest, OutputNamingTheInputLeavesItUnchanged) {
  ASSERT_EQ(link(Path("in.bmp").c_str(), Path("hard.bmp").c_str()), 0);
  ASSERT_EQ(symlink(Path("in.bmp").c_str(), Path("soft.bmp").c_str()), 0);
  char previous_dir[4096];
  ASSERT_NE(getcwd(previous_dir, sizeof previous_dir), nullptr);
  // The tool starts in this directory, so relative names resolve here.
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  struct SameCase {
    std::string input;
    std::string output;
  };
  const SameCase cases[] = {
      {Path("in.bmp"), Path("in.bmp")},   {"in.bmp", "./in.bmp"},
      {Path("in.bmp"), Path("hard.bmp")}, {Path("in.bmp"), Path("soft.bmp")},
      {Path("soft.bmp"), Path("in.bmp")},
  };
  for (const SameCase& same : cases) {
    SCOPED_TRACE(same.input + " -> " + same.output);
    const ToolRun run = RunTool({same.input, same.output});
    EXPECT_EQ(run.out, Echo(same.input, same.output) + kSameFile);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(ReadFile(Path("in.bmp")), input_);
  }
  ASSERT_EQ(chdir(previous_dir), 0);
}

TEST_F(FaultTest, InputThatCannotBeReadCreatesNoOutput) {
  mkdir(Path("pictures").c_str(), 0700);
  WriteFile(Path("locked.bmp"), input_);
  chmod(Path("locked.bmp").c_str(), 0);
  for (const std::string& input : {Path("pictures"), Path("locked.bmp")}) {
    SCOPED_TRACE(input);
    if (input == Path("locked.bmp") && !PermissionsApply()) {
      continue;  // reported by the skip below
    }
    const ToolRun run = RunTool({input, Path("out.raw")});
    EXPECT_EQ(run.out, Echo(input, Path("out.raw")) + kCantOpenInput);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_FALSE(FileExists(Path("out.raw")));
  }
  if (!PermissionsApply()) {
    GTEST_SKIP() << "running as root: a file without read permission opens";
  }
}

// --- Pipes and FIFOs
// ----------------------------------------------------------

// A pipe's length is unknown until it ends, so these run the streaming path
// itself: pictures of several input blocks, and pipes that end after some of
// the output has already been written.
struct PipeCase {
  const char* name;
  BitmapLayout layout;
  size_t cut;  // bytes dropped from the end of the file; 0 keeps it whole
};

// The large pictures span several input blocks, whether a block is bounded
// by its bytes (3000-byte rows) or by its row count (4-byte rows).
const PipeCase kPipeCases[] = {
    {"BottomUpSeveralBlocks", Layout(1000, 1200), 0},
    {"TopDownSeveralBlocks", Layout(1000, -1200), 0},
    {"NarrowSeveralBlocks", Layout(1, 5000), 0},
    {"GapReadThrough", WithGap(Layout(7, 5), 100000), 0},
    {"BottomUpCutInLastBlock", Layout(1000, 1200), 1000},
    {"TopDownCutInLastBlock", Layout(1000, -1200), 1000},
    {"NarrowCutInLastBlock", Layout(1, 5000), 10},
    {"CutInTheGap", WithGap(Layout(7, 5), 100000), 50000},
    {"CutInFirstRow", Layout(1000, 1200), size_t{3000} * 1200 - 5},
};

enum class Feed { kStdinPipe, kFifo };

void PrintTo(const PipeCase& pipe_case, std::ostream* out) {
  *out << pipe_case.name;
}

void PrintTo(Feed feed, std::ostream* out) {
  *out << (feed == Feed::kStdinPipe ? "stdin pipe" : "FIFO");
}

class PipeTest : public ScratchDirTest<
                     ::testing::TestWithParam<std::tuple<PipeCase, Feed>>> {};

// Runs the tool reading a FIFO that another thread fills.
ToolRun RunToolOnFifo(const std::string& fifo, const std::string& output,
                      const Bytes& bytes) {
  std::thread writer([&fifo, &bytes] {
    const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      FeedPipe(fd, bytes);
    }
  });
  ToolRun run = RunTool({fifo, output});
  // Frees a writer still waiting for a reader to open the FIFO.
  const int release = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (release >= 0) {
    close(release);
  }
  writer.join();
  return run;
}

TEST_P(PipeTest, ConvertsWholeInputAndRefusesACutOne) {
  const auto& [pipe_case, feed] = GetParam();
  const Bytes picture =
      SampleColours(pipe_case.layout.width, pipe_case.layout.height);
  Bytes file = MakeBitmap(pipe_case.layout, picture);
  file.resize(file.size() - pipe_case.cut);
  WriteFile(Path("out.raw"), Bytes(100, 0x5A));

  std::string input = "/dev/stdin";
  ToolRun run;
  if (feed == Feed::kStdinPipe) {
    run = RunToolOnPipe({input, Path("out.raw")}, file);
  } else {
    input = Path("in.fifo");
    ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
    run = RunToolOnFifo(input, Path("out.raw"), file);
  }
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  if (pipe_case.cut == 0) {
    EXPECT_EQ(run.out, Echo(input, Path("out.raw")) + kConverted);
    EXPECT_EQ(ReadFile(Path("out.raw")), ReferencePack(picture));
  } else {
    EXPECT_EQ(run.out, Echo(input, Path("out.raw")) + kTruncated);
    EXPECT_EQ(ReadFile(Path("out.raw")), Bytes{});
  }
}

std::string PipeCaseName(
    const ::testing::TestParamInfo<std::tuple<PipeCase, Feed>>& info) {
  return std::string(std::get<0>(info.param).name) +
         (std::get<1>(info.param) == Feed::kStdinPipe ? "_Stdin" : "_Fifo");
}

INSTANTIATE_TEST_SUITE_P(Inputs, PipeTest,
                         ::testing::Combine(::testing::ValuesIn(kPipeCases),
                                            ::testing::Values(Feed::kStdinPipe,
                                                              Feed::kFifo)),
                         PipeCaseName);

// --- Memory
// -------------------------------------------------------------------

// The tool's peak resident memory in KiB, measured by GNU time. A child
// spawned from this process would inherit the test's own peak in its figure
// (the kernel counts the memory it shared before exec); time forks the tool
// from a small process of its own. Returns -1 if time is not installed.
long PeakRssKib(const std::vector<std::string>& args, const std::string& dir) {
  const char* time_path = "/usr/bin/time";
  if (access(time_path, X_OK) != 0) {
    return -1;
  }
  const std::string report = dir + "/rss";
  std::vector<std::string> argv_strings = {time_path, "-f",   "%M",
                                           "-o",      report, BRAVIK_PATH};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(argv_strings.size() + 1);
  for (std::string& arg : argv_strings) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, time_path, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  std::ifstream in(report);
  long kib = -1;
  in >> kib;
  return kib;
}

TEST(MemoryTest, PeakMemoryDoesNotGrowWithThePicture) {
#ifdef BRAVIK_EMULATOR
  GTEST_SKIP() << "under an emulator GNU time measures the emulator, whose "
                  "own memory is not the tool's";
#endif
  const std::string dir = MakeScratchDir();
  WriteFile(dir + "/small.bmp",
            MakeBitmap(Layout(16, 16), SampleColours(16, 16)));
  // 24 MB in, 16 MB out: holding the picture, or even its output, would
  // show at once next to the fixed buffers (about a megabyte).
  WriteFile(dir + "/large.bmp",
            MakeBitmap(Layout(4000, 2000), SampleColours(4000, 2000)));
  const long small = PeakRssKib({dir + "/small.bmp", dir + "/small.raw"}, dir);
  const long large = PeakRssKib({dir + "/large.bmp", dir + "/large.raw"}, dir);
  const Bytes large_output = ReadFile(dir + "/large.raw");
  RemoveTree(dir);
  if (small < 0 || large < 0) {
    GTEST_SKIP() << "GNU time is not installed";
  }
  EXPECT_EQ(large_output.size(), size_t{4000} * 2000 * 2);
  EXPECT_LT(large - small, 4096)
      << "small: " << small << " KiB, large: " << large << " KiB";
}

}  // namespace
