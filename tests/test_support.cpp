#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

void PutLe16(Bytes* bytes, uint32_t value) {
  bytes->push_back(static_cast<uint8_t>(value));
  bytes->push_back(static_cast<uint8_t>(value >> 8));
}

void PutLe32(Bytes* bytes, uint32_t value) {
  PutLe16(bytes, value & 0xFFFF);
  PutLe16(bytes, value >> 16);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

BitmapLayout Layout(int32_t width, int32_t height, uint32_t header_size) {
  BitmapLayout layout;
  layout.width = width;
  layout.height = height;
  layout.header_size = header_size;
  return layout;
}

BitmapLayout WithGap(BitmapLayout layout, uint32_t gap) {
  layout.gap = gap;
  return layout;
}

std::string Echo(const std::string& input, const std::string& output) {
  return "Input file: " + input + "\nOutput file: " + output + "\n";
}

Bytes SampleColours(int32_t width, int32_t height, uint32_t salt) {
  Bytes pixels;
  uint32_t state = 0x9E3779B9u * salt + 12345u;
  const int64_t count = static_cast<int64_t>(width) * std::abs(height);
  pixels.reserve(static_cast<size_t>(count) * 3);
  for (int64_t i = 0; i < count * 3; ++i) {
    state = state * 1664525u + 1013904223u;
    pixels.push_back(static_cast<uint8_t>(state >> 24));
  }
  return pixels;
}

Bytes MakeBitmap(const BitmapLayout& layout, const Bytes& pixels) {
  const uint32_t width = static_cast<uint32_t>(layout.width);
  const uint32_t rows = static_cast<uint32_t>(std::abs(layout.height));
  const uint32_t row_bytes = width * 3;
  const uint32_t stride = (row_bytes + 3) & ~3u;
  const bool masks_behind_header =
      layout.compression == 3 && layout.header_size == 40;
  const uint32_t offset =
      14 + layout.header_size + (masks_behind_header ? 12 : 0) + layout.gap;

  Bytes file;
  file.push_back('B');
  file.push_back('M');
  PutLe32(&file, offset + stride * rows);
  PutLe32(&file, 0);
  PutLe32(&file, offset);
  PutLe32(&file, layout.header_size);
  if (layout.header_size == 12) {
    PutLe16(&file, width);
    PutLe16(&file, rows);
    PutLe16(&file, 1);
    PutLe16(&file, layout.bit_count);
  } else {
    Bytes info;
    PutLe32(&info, width);
    PutLe32(&info, static_cast<uint32_t>(layout.height));
    PutLe16(&info, 1);
    PutLe16(&info, layout.bit_count);
    PutLe32(&info, layout.compression);
    PutLe32(&info, stride * rows);
    PutLe32(&info, 2835);
    PutLe32(&info, 2835);
    PutLe32(&info, 0);
    PutLe32(&info, 0);
    for (uint32_t mask : layout.masks) {
      PutLe32(&info, mask);
    }
    info.resize(std::max<size_t>(info.size(), layout.header_size), 0);
    info.resize(layout.header_size - 4);
    file.insert(file.end(), info.begin(), info.end());
  }
  if (masks_behind_header) {
    for (uint32_t mask : layout.masks) {
      PutLe32(&file, mask);
    }
  }
  file.resize(file.size() + layout.gap, 0xAB);

  for (uint32_t i = 0; i < rows; ++i) {
    // Bottom-up files store the picture's last row first.
    const uint32_t picture_row = layout.height < 0 ? i : rows - 1 - i;
    const auto start =
        pixels.begin() + static_cast<ptrdiff_t>(picture_row) * row_bytes;
    file.insert(file.end(), start, start + row_bytes);
    if (!(layout.drop_last_padding && i + 1 == rows)) {
      file.resize(file.size() + (stride - row_bytes), 0);
    }
  }
  return file;
}

Bytes ReferencePack(const Bytes& pixels) {
  Bytes words;
  for (size_t i = 0; i + 2 < pixels.size(); i += 3) {
    const int blue = pixels[i];
    const int green = pixels[i + 1];
    const int red = pixels[i + 2];
    // Keep the top 5, 6 and 5 bits of red, green and blue.
    const int word = (red / 8) * 2048 + (green / 4) * 32 + blue / 8;
    words.push_back(static_cast<uint8_t>(word % 256));
    words.push_back(static_cast<uint8_t>(word / 256));
  }
  return words;
}

ToolRun RunTool(const std::vector<std::string>& args,
                const std::string& stdin_path) {
  const std::string scratch = MakeScratchDir();
  const std::string out_path = scratch + "/stdout";
  const std::string err_path = scratch + "/stderr";

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(
      &actions, 0, stdin_path.empty() ? "/dev/null" : stdin_path.c_str(),
      O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);

#ifdef BRAVIK_EMULATOR
  // A cross-built tool runs under the emulator that runs these tests.
  const char* const program = BRAVIK_EMULATOR;
  std::vector<std::string> argv_strings = {BRAVIK_EMULATOR, BRAVIK_PATH};
#else
  const char* const program = BRAVIK_PATH;
  std::vector<std::string> argv_strings = {BRAVIK_PATH};
#endif
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_strings) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    RemoveTree(scratch);
    throw std::runtime_error("could not start " + std::string(program));
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  ToolRun run;
  run.exit_status =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = ReadText(out_path);
  run.err = ReadText(err_path);
  RemoveTree(scratch);
  return run;
}

ToolRun RunToolOnPipe(const std::vector<std::string>& args,
                      const Bytes& stdin_bytes) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::thread writer(FeedPipe, ends[1], std::cref(stdin_bytes));
  // The child opens its standard input through this path before exec, while
  // it still holds the parent's descriptors; the write end closes at exec.
  const ToolRun run = RunTool(args, "/dev/fd/" + std::to_string(ends[0]));
  // With no reader left, a writer still waiting fails at once.
  close(ends[0]);
  writer.join();
  return run;
}

void FeedPipe(int fd, const Bytes& bytes) {
  // A write to a pipe nobody reads raises SIGPIPE in the writing thread;
  // blocked here, it stays pending and dies with the thread.
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put <= 0) {
      break;
    }
    done += static_cast<size_t>(put);
  }
  close(fd);
}

ToolRun RunToolWithFileSizeLimit(const std::vector<std::string>& args,
                                 uint64_t max_bytes) {
  // Both settings pass to the child through spawn and exec; this process
  // writes no file while they are in force.
  rlimit saved_limit{};
  getrlimit(RLIMIT_FSIZE, &saved_limit);
  rlimit limit = saved_limit;
  limit.rlim_cur = static_cast<rlim_t>(max_bytes);
  setrlimit(RLIMIT_FSIZE, &limit);
  const auto saved_action = std::signal(SIGXFSZ, SIG_IGN);
  const ToolRun run = RunTool(args);
  std::signal(SIGXFSZ, saved_action);
  setrlimit(RLIMIT_FSIZE, &saved_limit);
  return run;
}

std::string MakeScratchDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "bravik-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  return pattern;
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}
