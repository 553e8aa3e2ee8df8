// Faults no ordinary file shows on demand, injected into the converter in
// this process: a path swapped for a link to the input just before the
// output is opened, a close that reports a lost write while the path is
// being swapped, and reads that fail part way through. The test program is
// linked with --wrap=open,--wrap=read,--wrap=close, so the converter's calls
// come here first; everything not armed passes straight through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>

#include "test_support.h"

extern "C" {
int __real_open(const char* path, int flags, ...);
ssize_t __real_read(int fd, void* data, size_t size);
int __real_close(int fd);
}

namespace {

// What the next calls are to do. Armed by a test, disarmed by the fixture.
struct Injection {
  // Opening `refused_path` for writing fails (EACCES), as for a read-only
  // file or one the system will not share.
  std::string refused_path;
  // Runs once, just before `hook_path` is opened for writing.
  std::string hook_path;
  std::function<void()> before_open;
  // Reads of `failing_path` give `readable` bytes in all, then fail (EIO).
  std::string failing_path;
  int64_t readable = -1;
  // Closing `lossy_path` closes it but reports EIO, after `on_close`.
  std::string lossy_path;
  std::function<void()> on_close;

  // Descriptors of the armed paths, once opened.
  int failing_fd = -1;
  int lossy_fd = -1;
};

Injection injection;

}  // namespace

extern "C" int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  const bool for_writing = (flags & O_ACCMODE) != O_RDONLY;
  if (for_writing && path == injection.refused_path) {
    errno = EACCES;
    return -1;
  }
  if (for_writing && injection.before_open && path == injection.hook_path) {
    std::exchange(injection.before_open, nullptr)();
  }
  const int fd = __real_open(path, flags, mode);
  // The test's own FIFO writer opens the same path, for writing.
  if (path == injection.failing_path && !for_writing) {
    injection.failing_fd = fd;
  }
  if (path == injection.lossy_path && for_writing) {
    injection.lossy_fd = fd;
  }
  return fd;
}

extern "C" ssize_t __wrap_read(int fd, void* data, size_t size) {
  if (fd < 0 || fd != injection.failing_fd) {
    return __real_read(fd, data, size);
  }
  if (injection.readable <= 0) {
    errno = EIO;
    return -1;
  }
  const size_t allowed =
      std::min(size, static_cast<size_t>(injection.readable));
  const ssize_t got = __real_read(fd, data, allowed);
  if (got > 0) {
    injection.readable -= got;
  }
  return got;
}

extern "C" int __wrap_close(int fd) {
  if (fd < 0 || fd != injection.lossy_fd) {
    if (fd == injection.failing_fd) {
      injection.failing_fd = -1;
    }
    return __real_close(fd);
  }
  injection.lossy_fd = -1;
  __real_close(fd);
  if (injection.on_close) {
    std::exchange(injection.on_close, nullptr)();
  }
  errno = EIO;
  return -1;
}

namespace {

class InjectedFaultTest : public PictureTest {
 protected:
  void TearDown() override {
    injection = Injection{};
    PictureTest::TearDown();
  }
};

// Checked by name first and opened after, a path swapped in between for a
// link to the input would have the input emptied. The output is judged by
// the file actually opened.
TEST_F(InjectedFaultTest, OutputSwappedForTheInputJustBeforeItOpens) {
  WriteFile(Path("out.raw"), Bytes(10, 0x5A));
  injection.hook_path = Path("out.raw");
  injection.before_open = [this] {
    ASSERT_EQ(unlink(Path("out.raw").c_str()), 0);
    ASSERT_EQ(symlink(Path("in.bmp").c_str(), Path("out.raw").c_str()), 0);
  };
  const Captured printed =
      ConvertInProcess(Path("in.bmp"), Path("out.raw"), dir_);
  EXPECT_EQ(printed.out, kSameFile);
  EXPECT_EQ(ReadFile(Path("in.bmp")), input_);
}

// An output that cannot be opened for writing is still recognised as the
// input by its name, since nothing is written either way; anything else is
// simply an output that cannot be opened.
TEST_F(InjectedFaultTest, OutputThatWillNotOpenIsNamedForWhatItIs) {
  ASSERT_EQ(link(Path("in.bmp").c_str(), Path("link.bmp").c_str()), 0);
  injection.refused_path = Path("link.bmp");
  EXPECT_EQ(ConvertInProcess(Path("in.bmp"), Path("link.bmp"), dir_).out,
            kSameFile);
  injection.refused_path = Path("out.raw");
  EXPECT_EQ(ConvertInProcess(Path("in.bmp"), Path("out.raw"), dir_).out,
            kCantOpenOutput);
  EXPECT_FALSE(FileExists(Path("out.raw")));
  EXPECT_EQ(ReadFile(Path("in.bmp")), input_);
}

// A lost write reported at close: the file that was written is emptied, and
// whatever its name leads to by then (here another picture) is not touched.
TEST_F(InjectedFaultTest, LostWriteAtCloseEmptiesTheWrittenFileOnly) {
  const Bytes other(100, 0x77);
  WriteFile(Path("other.raw"), other);
  injection.lossy_path = Path("out.raw");
  injection.on_close = [this] {
    ASSERT_EQ(rename(Path("out.raw").c_str(), Path("written.raw").c_str()), 0);
    ASSERT_EQ(symlink(Path("other.raw").c_str(), Path("out.raw").c_str()), 0);
  };
  const Captured printed =
      ConvertInProcess(Path("in.bmp"), Path("out.raw"), dir_);
  EXPECT_EQ(printed.out, kCantWrite);
  EXPECT_EQ(ReadFile(Path("written.raw")), Bytes{});
  EXPECT_EQ(ReadFile(Path("other.raw")), other);
  EXPECT_EQ(ReadFile(Path("in.bmp")), input_);
}

extern "C" void CallersOwnHandler(int /*signal_number*/) {}

// Called in a program of its own, the converter takes over the signals only
// for the call, and hands back each as it found it.
TEST_F(InjectedFaultTest, LeavesTheCallersSignalHandlingAsItWas) {
  struct sigaction own {};
  own.sa_handler = CallersOwnHandler;
  sigemptyset(&own.sa_mask);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction saved[3];
  sigaction(SIGINT, &own, &saved[0]);
  sigaction(SIGPIPE, &own, &saved[1]);
  sigaction(SIGHUP, &ignore, &saved[2]);
  const Captured printed =
      ConvertInProcess(Path("in.bmp"), Path("out.raw"), dir_);
  struct sigaction after[3];
  sigaction(SIGINT, &saved[0], &after[0]);
  sigaction(SIGPIPE, &saved[1], &after[1]);
  sigaction(SIGHUP, &saved[2], &after[2]);
  EXPECT_EQ(printed.out, kConverted);
  EXPECT_EQ(after[0].sa_handler, &CallersOwnHandler);
  EXPECT_EQ(after[1].sa_handler, &CallersOwnHandler);
  EXPECT_EQ(after[2].sa_handler, SIG_IGN);
}

// A read error is "Couldn't open input file" wherever it strikes, from a
// file or a FIFO, and leaves the output empty; only the bytes after the
// picture (which it does not need) may fail without harm.
struct ReadFaultCase {
  const char* name;
  BitmapLayout layout;
  bool through_fifo;
  int64_t readable;  // bytes read before the failure
  std::string message;
};

void PrintTo(const ReadFaultCase& fault, std::ostream* out) {
  *out << fault.name;
}

class ReadFaultTest
    : public ScratchDirTest<::testing::TestWithParam<ReadFaultCase>> {
 protected:
  void TearDown() override {
    injection = Injection{};
    ScratchDirTest::TearDown();
  }
};

TEST_P(ReadFaultTest, IsReportedAndEmptiesTheOutput) {
  const ReadFaultCase& fault = GetParam();
  const Bytes picture = SampleColours(fault.layout.width, fault.layout.height);
  const Bytes file = MakeBitmap(fault.layout, picture);
  WriteFile(Path("out.raw"), Bytes(10, 0x5A));
  std::string input = Path("in.bmp");
  std::thread writer;
  if (fault.through_fifo) {
    input = Path("in.fifo");
    ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
    writer = std::thread([&input, &file] {
      const int fd = open(input.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd >= 0) {
        FeedPipe(fd, file);
      }
    });
  } else {
    WriteFile(input, file);
  }
  injection.failing_path = input;
  injection.readable = fault.readable;
  const Captured printed = ConvertInProcess(input, Path("out.raw"), dir_);
  if (writer.joinable()) {
    writer.join();
  }
  EXPECT_EQ(printed.out, fault.message);
  EXPECT_EQ(ReadFile(Path("out.raw")),
            fault.message == kConverted ? ReferencePack(picture) : Bytes{});
}

// Pictures of 1000 x 1200 span several blocks of rows, so a failure in the
// second block comes after the first has been written.
INSTANTIATE_TEST_SUITE_P(
    Reads, ReadFaultTest,
    ::testing::Values(
        ReadFaultCase{"InTheFileHeader", Layout(5, 3), false, 10,
                      kCantOpenInput},
        ReadFaultCase{"InTheMasks",
                      WithMasks(Layout(5, 3), 0xFF0000, 0xFF00, 0xFF), false,
                      54 + 4, kCantOpenInput},
        ReadFaultCase{"InTheGapFromAFifo", WithGap(Layout(5, 3), 100000), true,
                      54 + 50000, kCantOpenInput},
        ReadFaultCase{"InTheSecondBlockFromAFile", Layout(1000, 1200), false,
                      2000000, kCantOpenInput},
        ReadFaultCase{"InTheSecondBlockFromAFifo", Layout(1000, 1200), true,
                      2000000, kCantOpenInput},
        ReadFaultCase{"InTheTrailerFromAFifo", WithTrailer(Layout(5, 3), 1000),
                      true, 54 + 48 + 500, kConverted}),
    [](const ::testing::TestParamInfo<ReadFaultCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
