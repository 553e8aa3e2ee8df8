// Fuzz target for the converter. Every input is handed to ConvertBitmap three
// ways: as a regular file, through a pipe (read front to back, size unknown)
// and as both input and output at once. After each call it checks what the
// tool promises its users:
//
//   - standard output holds exactly one outcome message, the one an
//     independent reading of the headers predicts;
//   - a conversion leaves 2 x width x |height| bytes equal to a plain pack of
//     the stored pixels, top row first; every refusal leaves the output empty
//     (it starts each run holding stale bytes, so emptying is checked too);
//   - the input file is never changed.
//
// A file and a pipe carrying the same bytes must give the same result.
//
// Built with -fsanitize=fuzzer this is a libFuzzer target; without it,
// replay_main.cpp turns it into a program that replays saved inputs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "convert_bitmap.h"
#include "tool_messages.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Expected {
  std::string message;
  Bytes output;  // only for a conversion
};

struct Observed {
  std::string message;
  Bytes output;
  bool output_exists = false;
};

struct Scratch {
  std::string input;
  std::string output;
  std::string captured;
};

void Require(bool condition, const char* what, const std::string& detail) {
  if (!condition) {
    std::fprintf(stderr, "fuzz check failed: %s\n%s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
  }
}

uint32_t Le(const uint8_t* bytes, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) {
    value = (value << 8) | bytes[i];
  }
  return value;
}

// The outcome the tool owes for `data`, worked out from the whole file in
// memory rather than streamed: the checks in their promised order, then the
// pixels packed one by one.
Expected Predict(const uint8_t* data, size_t size) {
  if (size < 18 || data[0] != 'B' || data[1] != 'M') {
    return {kNotBmp, {}};
  }
  const uint32_t header_size = Le(data + kHeaderSizeAt, 4);
  const bool core = header_size == 12;
  const bool windows = header_size == 40 || header_size == 52 ||
                       header_size == 56 || header_size == 108 ||
                       header_size == 124;
  const bool os2 = header_size >= 16 && header_size <= 64;
  if (!(core || windows || os2) || size < 14 + uint64_t{header_size}) {
    return {kNotBmp, {}};
  }
  uint8_t info[124] = {};  // fields past the declared size read as zero
  std::memcpy(info, data + 14, header_size);
  int64_t width = 0;
  int64_t height = 0;
  uint32_t bit_count = 0;
  uint32_t compression = 0;
  if (core) {
    width = Le(info + 4, 2);
    height = Le(info + 6, 2);
    bit_count = Le(info + 10, 2);
  } else {
    width = static_cast<int32_t>(Le(info + 4, 4));
    height = static_cast<int32_t>(Le(info + 8, 4));
    bit_count = Le(info + 14, 2);
    compression = Le(info + 16, 4);
  }
  if (bit_count != 24) {
    // JPEG (4) and PNG (5) payloads say 0 bits per pixel.
    if (bit_count == 0 && (compression == 4 || compression == 5)) {
      return {kCompressed, {}};
    }
    return {WrongBitCount(bit_count), {}};
  }
  const int64_t rows = height < 0 ? -height : height;
  if (width > 10000 || rows > 10000) {
    return {kTooLarge, {}};
  }
  const uint64_t pixel_offset = Le(data + kOffBitsAt, 4);
  if (width < 0 || pixel_offset < 14 + uint64_t{header_size}) {
    return {kNotBmp, {}};
  }
  if (compression == 3 && windows) {
    const uint8_t* masks = info + 40;
    if (header_size == 40) {
      if (pixel_offset < 66 || size < 66) {
        return {kNotBmp, {}};
      }
      masks = data + 54;
    }
    if (Le(masks, 4) != 0xFF0000 || Le(masks + 4, 4) != 0xFF00 ||
        Le(masks + 8, 4) != 0xFF) {
      return {kCompressed, {}};
    }
  } else if (compression != 0) {
    return {kCompressed, {}};
  }
  if (width == 0 || rows == 0) {
    return {kConverted, {}};
  }
  const uint64_t stride = (static_cast<uint64_t>(width) * 3 + 3) / 4 * 4;
  const uint64_t last_byte = pixel_offset +
                             stride * static_cast<uint64_t>(rows - 1) +
                             static_cast<uint64_t>(width) * 3;
  if (size < last_byte) {
    return {kTruncated, {}};
  }
  Expected expected{kConverted, {}};
  for (int64_t y = 0; y < rows; ++y) {
    // A positive height stores the bottom row first.
    const int64_t stored_row = height < 0 ? y : rows - 1 - y;
    const uint8_t* pixel =
        data + pixel_offset + static_cast<uint64_t>(stored_row) * stride;
    for (int64_t x = 0; x < width; ++x, pixel += 3) {
      const unsigned word =
          (pixel[2] / 8u) * 2048u + (pixel[1] / 4u) * 32u + pixel[0] / 8u;
      expected.output.push_back(static_cast<uint8_t>(word % 256));
      expected.output.push_back(static_cast<uint8_t>(word / 256));
    }
  }
  return expected;
}

Bytes ReadWhole(const std::string& path, bool* exists) {
  Bytes bytes;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  *exists = fd >= 0;
  if (fd < 0) {
    return bytes;
  }
  uint8_t chunk[65536];
  ssize_t got = 0;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  close(fd);
  return bytes;
}

void WriteWhole(const std::string& path, const uint8_t* data, size_t size) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Require(fd >= 0, "cannot create a scratch file", path);
  while (size > 0) {
    const ssize_t put = write(fd, data, size);
    Require(put > 0, "cannot write a scratch file", path);
    data += put;
    size -= static_cast<size_t>(put);
  }
  close(fd);
}

const Scratch& GetScratch() {
  static const Scratch scratch = [] {
    // Off the disk where possible: every run writes three small files.
    struct stat status {};
    const char* base = "/dev/shm";
    if (stat(base, &status) != 0 || !S_ISDIR(status.st_mode)) {
      const char* tmpdir = std::getenv("TMPDIR");
      base = tmpdir != nullptr ? tmpdir : "/tmp";
    }
    std::string pattern = std::string(base) + "/bravik-fuzz-XXXXXX";
    Require(mkdtemp(pattern.data()) != nullptr, "mkdtemp failed", pattern);
    static std::string directory;
    directory = pattern;
    std::atexit([] {
      for (const char* name : {"/in.bmp", "/out.raw", "/stdout"}) {
        unlink((directory + name).c_str());
      }
      rmdir(directory.c_str());
    });
    // A refusal can leave the pipe's writer facing a closed reader.
    std::signal(SIGPIPE, SIG_IGN);
    return Scratch{pattern + "/in.bmp", pattern + "/out.raw",
                   pattern + "/stdout"};
  }();
  return scratch;
}

// Calls ConvertBitmap with standard output captured, the output file holding
// stale bytes beforehand.
Observed Convert(const std::string& input_path,
                 const std::string& output_path) {
  const Scratch& scratch = GetScratch();
  if (output_path != input_path) {
    const uint8_t stale[] = {'s', 't', 'a', 'l', 'e'};
    WriteWhole(output_path, stale, sizeof stale);
  }
  std::fflush(stdout);
  const int saved_stdout = dup(STDOUT_FILENO);
  const int capture = open(scratch.captured.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Require(saved_stdout >= 0 && capture >= 0, "cannot capture stdout", "");
  dup2(capture, STDOUT_FILENO);
  close(capture);
  ConvertBitmap(input_path.c_str(), output_path.c_str());
  std::fflush(stdout);
  dup2(saved_stdout, STDOUT_FILENO);
  close(saved_stdout);

  Observed observed;
  bool captured = false;
  const Bytes text = ReadWhole(scratch.captured, &captured);
  observed.message.assign(text.begin(), text.end());
  observed.output = ReadWhole(output_path, &observed.output_exists);
  return observed;
}

// What the pipe writer is asked to send next.
struct PipeJob {
  int fd = -1;
  const uint8_t* data = nullptr;
  size_t size = 0;
  bool pending = false;
};

// Shared with the writer thread. Never destroyed: the thread is still
// waiting on it when the process exits.
struct PipeWriter {
  std::mutex mutex;
  std::condition_variable changed;
  PipeJob job;
};

void WritePipeJobs(PipeWriter* writer) {
  for (;;) {
    std::unique_lock<std::mutex> lock(writer->mutex);
    writer->changed.wait(lock, [writer] { return writer->job.pending; });
    const PipeJob job = writer->job;
    lock.unlock();
    size_t done = 0;
    while (done < job.size) {
      const ssize_t put = write(job.fd, job.data + done, job.size - done);
      if (put <= 0) {
        break;  // the reader is gone: it refused the input early
      }
      done += static_cast<size_t>(put);
    }
    close(job.fd);
    lock.lock();
    writer->job.pending = false;
    writer->changed.notify_all();
  }
}

// One writer thread serves every run: a thread started per input costs the
// sanitizer runtimes a little memory that they never give back.
PipeWriter& GetPipeWriter() {
  static PipeWriter* const writer = [] {
    auto* const started = new PipeWriter;
    std::thread(WritePipeJobs, started).detach();
    return started;
  }();
  return *writer;
}

// Runs the converter on a pipe that the writer thread fills with `data`
// while the converter reads, so reads come back short as they do from a
// real pipe.
Observed ConvertFromPipe(const uint8_t* data, size_t size) {
  PipeWriter& writer = GetPipeWriter();
  int ends[2];
  Require(pipe(ends) == 0 && fcntl(ends[0], F_SETFD, FD_CLOEXEC) == 0 &&
              fcntl(ends[1], F_SETFD, FD_CLOEXEC) == 0,
          "pipe failed", "");
  {
    const std::lock_guard<std::mutex> lock(writer.mutex);
    writer.job = PipeJob{ends[1], data, size, true};
  }
  writer.changed.notify_all();
  // Opening the descriptor's path gives the converter its own read end.
  Observed observed =
      Convert("/dev/fd/" + std::to_string(ends[0]), GetScratch().output);
  // With the last read end closed, a writer still blocked fails at once.
  close(ends[0]);
  std::unique_lock<std::mutex> lock(writer.mutex);
  writer.changed.wait(lock, [&writer] { return !writer.job.pending; });
  return observed;
}

std::string Describe(const char* mode, const Expected& expected,
                     const Observed& observed) {
  return std::string(mode) + ": expected \"" + expected.message + "\" with " +
         std::to_string(expected.output.size()) + " output bytes, got \"" +
         observed.message + "\" with " +
         std::to_string(observed.output.size()) + " output bytes" +
         (observed.output_exists ? "" : " (no output file)");
}

void CheckOutcome(const char* mode, const Expected& expected,
                  const Observed& observed) {
  const std::string detail = Describe(mode, expected, observed);
  Require(observed.message == expected.message, "wrong outcome message",
          detail);
  Require(observed.output_exists, "output file missing", detail);
  // On a refusal the expected output is empty, so this also checks that
  // every refusal empties the output.
  Require(observed.output == expected.output, "wrong output bytes", detail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Scratch& scratch = GetScratch();
  const Expected expected = Predict(data, size);

  WriteWhole(scratch.input, data, size);
  CheckOutcome("file", expected, Convert(scratch.input, scratch.output));
  bool input_exists = false;
  Require(ReadWhole(scratch.input, &input_exists) == Bytes(data, data + size),
          "input file changed", "after a conversion");

  CheckOutcome("pipe", expected, ConvertFromPipe(data, size));

  const Observed same = Convert(scratch.input, scratch.input);
  Require(same.message == kSameFile, "same file not refused", same.message);
  Require(same.output == Bytes(data, data + size), "input file changed",
          "named as the output too");
  return 0;
}
