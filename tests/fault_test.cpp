// The tool against a hostile environment rather than a hostile file: outputs
// that cannot be written, the input named as the output, inputs that are
// directories, unreadable, or pipes that end early, and how much memory a
// large picture takes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace {

// Root opens files whatever their permission bits say.
bool PermissionsApply() { return geteuid() != 0; }

class FaultTest : public PictureTest {
 protected:
  void TearDown() override {
    // Undo any permission a test took away, so the tree can be removed.
    chmod(dir_.c_str(), 0700);
    PictureTest::TearDown();
  }
};

TEST_F(FaultTest, FullDeviceIsAWriteFailure) {
  const ToolRun run = RunTool({Path("in.bmp"), "/dev/full"});
  EXPECT_EQ(run.out, Echo(Path("in.bmp"), "/dev/full") + kCantWrite);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
}

// A disk that fills part way through, or a file-size limit (whose SIGXFSZ
// would end the tool without a word): the output must not be left holding
// the part that fitted, as if it were a picture.
TEST_F(FaultTest, WriteFailurePartWayEmptiesTheOutput) {
  for (const int32_t height : {200, -200}) {
    SCOPED_TRACE(height);
    WriteFile(Path("big.bmp"),
              MakeBitmap(Layout(200, height), SampleColours(200, 200)));
    ToolOptions options;
    options.file_size_limit = 32768;
    const ToolRun run = RunTool({Path("big.bmp"), Path("out.raw")}, options);
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

  // A read-only picture cannot even be opened as the output (unless by
  // root); it is still the same file, and said to be.
  WriteFile(Path("read-only.bmp"), input_);
  chmod(Path("read-only.bmp").c_str(), 0444);
  const ToolRun run = RunTool({Path("read-only.bmp"), Path("read-only.bmp")});
  EXPECT_EQ(run.out,
            Echo(Path("read-only.bmp"), Path("read-only.bmp")) + kSameFile);
  EXPECT_EQ(ReadFile(Path("read-only.bmp")), input_);
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
  // Threads start after the fork, never before (see RunToolOnPipe).
  StartedTool tool = StartTool({fifo, output});
  std::thread writer([&fifo, &bytes] {
    const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      FeedPipe(fd, bytes);
    }
  });
  ToolRun run = WaitForTool(&tool);
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
  const long small =
      PeakMemoryKib({dir + "/small.bmp", dir + "/small.raw"}, dir);
  const long large =
      PeakMemoryKib({dir + "/large.bmp", dir + "/large.raw"}, dir);
  const Bytes large_output = ReadFile(dir + "/large.raw");
  RemoveTree(dir);
  if (small < 0 || large < 0) {
    GTEST_SKIP() << "GNU time is not installed";
  }
  EXPECT_EQ(large_output.size(), size_t{4000} * 2000 * 2);
  EXPECT_LT(large - small, 4096)
      << "small: " << small << " KiB, large: " << large << " KiB";
}

// --- Signals, vanished readers, standard output
// ----------------------------------------------

using Clock = std::chrono::steady_clock;

// Waits, up to a minute, until `ready` holds. Only a way not to hang: a
// correct tool gets there in milliseconds.
template <typename Condition>
bool WaitUntil(Condition ready) {
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (!ready()) {
    if (Clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

uint64_t FileSize(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0
             ? static_cast<uint64_t>(status.st_size)
             : 0;
}

// The tool reading a pipe that holds part of a large picture, its writer
// still there: the first block of rows is converted and written (at the end
// of the output, the picture being stored bottom row first), and the tool
// waits for more.
class StalledPipeTest : public ScratchDirTest<> {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    picture_ = SampleColours(1000, 1200);
    file_ = MakeBitmap(Layout(1000, 1200), picture_);
    ASSERT_TRUE(MakePipe(ends_));
  }
  void TearDown() override {
    close(ends_[0]);  // a writer still blocked fails at once
    if (writer_.joinable()) {
      writer_.join();
    }
    if (ends_[1] >= 0) {
      close(ends_[1]);
    }
    ScratchDirTest::TearDown();
  }

  // Starts the tool and waits until it has written its first rows.
  StartedTool StartStalled(const ToolOptions& extra = {}) {
    ToolOptions options = extra;
    options.stdin_path = "/dev/fd/" + std::to_string(ends_[0]);
    StartedTool tool = StartTool({"/dev/stdin", Path("out.raw")}, options);
    // Two megabytes: more than one block of rows, less than two. The writer
    // starts after the fork (see RunToolOnPipe).
    writer_ = std::thread([this] {
      WriteToPipe(ends_[1], Bytes(file_.begin(), file_.begin() + kFed));
    });
    EXPECT_TRUE(WaitUntil([this] { return FileSize(Path("out.raw")) > 0; }))
        << "the tool wrote nothing";
    return tool;
  }

  static constexpr size_t kFed = 2000000;
  Bytes picture_;
  Bytes file_;
  int ends_[2] = {-1, -1};
  std::thread writer_;
};

class InterruptTest : public StalledPipeTest,
                      public ::testing::WithParamInterface<int> {};

// Killed mid-conversion, the output would keep its full length with zeros
// where the missing rows belong, and pass for a picture. The tool empties it
// and still ends by the signal, so its caller sees the signal.
TEST_P(InterruptTest, EmptiesTheOutputAndEndsByTheSignal) {
  StartedTool tool = StartStalled();
  ASSERT_EQ(kill(tool.pid, GetParam()), 0);
  const ToolRun run = WaitForTool(&tool);
  EXPECT_EQ(run.signal, GetParam());
  EXPECT_EQ(run.out, Echo("/dev/stdin", Path("out.raw")));
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(FileExists(Path("out.raw")));
  EXPECT_EQ(FileSize(Path("out.raw")), 0u);
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptTest,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           switch (info.param) {
                             case SIGINT:
                               return "Interrupt";
                             case SIGTERM:
                               return "Terminate";
                             default:
                               return "Hangup";
                           }
                         });

// What whoever started the tool chose to ignore (nohup ignores SIGHUP)
// stays ignored: the run goes on and completes.
TEST_F(StalledPipeTest, IgnoredHangupIsLeftIgnored) {
  ToolOptions options;
  options.ignored_signals = {SIGHUP};
  StartedTool tool = StartStalled(options);
  ASSERT_EQ(kill(tool.pid, SIGHUP), 0);
  // The rest of the picture, once the hangup has been sent.
  writer_.join();
  const int write_end = ends_[1];
  ends_[1] = -1;
  writer_ = std::thread([this, write_end] {
    FeedPipe(write_end, Bytes(file_.begin() + kFed, file_.end()));
  });
  const ToolRun run = WaitForTool(&tool);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.out, Echo("/dev/stdin", Path("out.raw")) + kConverted);
  EXPECT_EQ(ReadFile(Path("out.raw")), ReferencePack(picture_));
}

// The echo lines are promised before any file is opened; a tool waiting for
// a FIFO's writer must already show them, not hold them in a buffer.
TEST_F(FaultTest, EchoLinesAreOutBeforeTheInputIsOpened) {
  ASSERT_EQ(mkfifo(Path("in.fifo").c_str(), 0600), 0);
  StartedTool tool = StartTool({Path("in.fifo"), Path("out.raw")});
  const std::string echo = Echo(Path("in.fifo"), Path("out.raw"));
  EXPECT_TRUE(WaitUntil([&] { return PrintedSoFar(tool) == echo; }))
      << "printed so far: \"" << PrintedSoFar(tool) << "\"";
  ASSERT_EQ(kill(tool.pid, SIGTERM), 0);
  const ToolRun run = WaitForTool(&tool);
  EXPECT_EQ(run.signal, SIGTERM);
  EXPECT_EQ(run.out, echo);
  EXPECT_FALSE(FileExists(Path("out.raw")));
}

// A reader that goes away would end the tool by SIGPIPE without a word.
TEST_F(FaultTest, VanishedReaderIsAWriteFailure) {
  // Top row first, so the picture streams into the FIFO; larger than a
  // pipe's buffer, so some write meets the closed reader.
  WriteFile(Path("top-down.bmp"),
            MakeBitmap(Layout(200, -200), SampleColours(200, 200)));
  ASSERT_EQ(mkfifo(Path("out.fifo").c_str(), 0600), 0);
  StartedTool tool = StartTool({Path("top-down.bmp"), Path("out.fifo")});
  std::thread reader([this] {
    const int fd = open(Path("out.fifo").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
    }
  });
  const ToolRun run = WaitForTool(&tool);
  reader.join();
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.out, Echo(Path("top-down.bmp"), Path("out.fifo")) + kCantWrite);
  EXPECT_EQ(run.exit_status, 0);
}

// Pixels written where the messages go would mix the two and be reported a
// success. The file standard output goes to is left holding the messages.
TEST_F(FaultTest, OutputThatIsStandardOutputIsRefused) {
  for (const std::string& output :
       {std::string("/dev/stdout"), Path("out.raw")}) {
    SCOPED_TRACE(output);
    ToolOptions options;
    options.stdout_path = Path("out.raw");
    const ToolRun run = RunTool({Path("in.bmp"), output}, options);
    EXPECT_EQ(run.exit_status, 0);
    const Bytes printed = ReadFile(Path("out.raw"));
    EXPECT_EQ(std::string(printed.begin(), printed.end()),
              Echo(Path("in.bmp"), output) + kOutputIsStandardOutput);
  }

  // Standard output a pipe, and the output that same pipe.
  int ends[2];
  ASSERT_TRUE(MakePipe(ends));
  ToolOptions options;
  options.stdout_path = "/dev/fd/" + std::to_string(ends[1]);
  StartedTool tool = StartTool({Path("in.bmp"), "/dev/stdout"}, options);
  close(ends[1]);
  std::string printed;
  char chunk[4096];
  ssize_t got = 0;
  while ((got = read(ends[0], chunk, sizeof chunk)) > 0) {
    printed.append(chunk, static_cast<size_t>(got));
  }
  close(ends[0]);
  const ToolRun run = WaitForTool(&tool);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(printed,
            Echo(Path("in.bmp"), "/dev/stdout") + kOutputIsStandardOutput);
}

// A terminal (or /dev/null) as both is harmless and stays allowed: the
// picture's words simply go to the terminal between the messages.
TEST_F(FaultTest, TerminalAsOutputAndStandardOutputConverts) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string terminal = ptsname(master);
  const int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios raw{};
  ASSERT_EQ(tcgetattr(slave, &raw), 0);
  cfmakeraw(&raw);  // bytes pass unchanged, no newline translation
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);

  // One row, top row first: written front to back, as a terminal needs.
  const Bytes pixels = SampleColours(3, 1);
  WriteFile(Path("row.bmp"), MakeBitmap(Layout(3, -1), pixels));
  ToolOptions options;
  options.stdout_path = terminal;
  const ToolRun run = RunTool({Path("row.bmp"), terminal}, options);
  close(slave);
  std::string printed;
  char chunk[4096];
  ssize_t got = 0;
  // Once every copy of the terminal is closed, the master reads what was
  // written and then fails with EIO.
  while ((got = read(master, chunk, sizeof chunk)) > 0) {
    printed.append(chunk, static_cast<size_t>(got));
  }
  close(master);
  EXPECT_EQ(run.exit_status, 0);
  const Bytes words = ReferencePack(pixels);
  EXPECT_EQ(printed, Echo(Path("row.bmp"), terminal) +
                         std::string(words.begin(), words.end()) + kConverted);
}

// --- Pipes whose writer stays
// ---------------------------------------------------------

// A pipe's writer that stays open (a program still writing, or about to
// close) must not be waited on for bytes the picture does not need, and
// must see every byte of the file taken, up to its declared size, or it
// dies of a broken pipe and a pipefail script fails.
struct LingeringCase {
  const char* name;
  Bytes file;
  size_t left_over;  // bytes at the end of `file` the tool must not read
};

void PrintTo(const LingeringCase& lingering, std::ostream* out) {
  *out << lingering.name;
}

Bytes LingeringPicture(const BitmapLayout& layout) {
  return MakeBitmap(layout, SampleColours(layout.width, layout.height));
}

std::vector<LingeringCase> LingeringCases() {
  BitmapLayout no_last_padding = Layout(5, 3);
  no_last_padding.drop_last_padding = true;
  Bytes beyond = LingeringPicture(Layout(5, 3));
  beyond.resize(beyond.size() + 1000, 0xEE);
  return {
      // Larger than a pipe's buffer, as a colour profile can be.
      {"TrailerCountedInTheFileSize",
       LingeringPicture(WithTrailer(Layout(37, 23), 300000)), 0},
      {"TrailerOfAPictureWithoutPixels",
       LingeringPicture(WithTrailer(Layout(0, 5), 100000)), 0},
      {"BytesBeyondTheFileSize", beyond, 1000},
      {"FileSizeShortOfThePixels",
       Patched(LingeringPicture(WithTrailer(Layout(4, 3), 1000)), kFileSizeAt,
               54),
       1000},
      {"LastRowWithoutPadding", LingeringPicture(no_last_padding), 0},
  };
}

class LingeringWriterTest
    : public ScratchDirTest<::testing::TestWithParam<LingeringCase>> {};

TEST_P(LingeringWriterTest, ReadsWhatTheFileDeclaresAndNoMore) {
  const LingeringCase& lingering = GetParam();
  PipeReport report;
  const ToolRun run = RunToolOnPipe({"/dev/stdin", Path("out.raw")},
                                    lingering.file, &report, /*linger=*/true);
  EXPECT_EQ(run.out, Echo("/dev/stdin", Path("out.raw")) + kConverted);
  EXPECT_FALSE(report.tool_waited_for_close)
      << "the tool waited for the writer to close the pipe";
  EXPECT_EQ(report.left_over.size(), lingering.left_over);
}

INSTANTIATE_TEST_SUITE_P(
    Pipes, LingeringWriterTest, ::testing::ValuesIn(LingeringCases()),
    [](const ::testing::TestParamInfo<LingeringCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
