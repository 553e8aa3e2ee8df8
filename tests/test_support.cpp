#include "test_support.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "convert_bitmap.h"

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
  PutLe32(&file, 0);  // bfSize, once the length is known
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
  file.resize(file.size() + layout.trailer, 0xCD);
  const auto size = static_cast<uint32_t>(file.size());
  return Patched(std::move(file), kFileSizeAt, size);
}

Bytes Patched(Bytes file, size_t offset, uint32_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    file[offset + i] = static_cast<uint8_t>(value >> (8 * i));
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

namespace {

std::vector<char*> ArgvOf(std::vector<std::string>* strings) {
  std::vector<char*> argv;
  argv.reserve(strings->size() + 1);
  for (std::string& arg : *strings) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  return argv;
}

// In the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void ExecTool(const char* stdin_path, const char* stdout_path,
                           const char* stderr_path, const ToolOptions& options,
                           char* const* argv) {
  const int in = open(stdin_path, O_RDONLY);
  const int out = open(stdout_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open(stderr_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
      dup2(err, 2) < 0) {
    _exit(126);
  }
  // The tool's own handling of signals is under test: nothing this process
  // ignores or blocks (SIGPIPE, in the pipe writers) may carry over.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    sigaction(signal_number, &default_action, nullptr);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (const int signal_number : options.ignored_signals) {
    sigaction(signal_number, &ignore, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (options.file_size_limit != 0) {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(options.file_size_limit);
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  execv(argv[0], argv);
  _exit(127);
}

}  // namespace

void WriteToPipe(int fd, const Bytes& bytes) {
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
}

StartedTool StartTool(const std::vector<std::string>& args,
                      const ToolOptions& options) {
  StartedTool tool;
  tool.scratch = MakeScratchDir();
  tool.capture_stdout = options.stdout_path.empty();
  const std::string stdin_path =
      options.stdin_path.empty() ? "/dev/null" : options.stdin_path;
  const std::string stdout_path =
      tool.capture_stdout ? tool.scratch + "/stdout" : options.stdout_path;
  const std::string stderr_path = tool.scratch + "/stderr";

  std::vector<std::string> argv_strings = options.prefix;
  argv_strings.emplace_back(BRAVIK_PATH);
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv = ArgvOf(&argv_strings);

  tool.pid = fork();
  if (tool.pid == 0) {
    ExecTool(stdin_path.c_str(), stdout_path.c_str(), stderr_path.c_str(),
             options, argv.data());
  }
  if (tool.pid < 0) {
    RemoveTree(tool.scratch);
    throw std::runtime_error("could not start " + argv_strings.front());
  }
  return tool;
}

ToolRun WaitForTool(StartedTool* tool) {
  int status = 0;
  pid_t waited = 0;
  do {
    waited = waitpid(tool->pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  ToolRun run;
  if (waited < 0) {
    ADD_FAILURE() << "waitpid failed: " << std::strerror(errno);
  } else if (WIFSIGNALED(status)) {
    run.signal = WTERMSIG(status);
    run.exit_status = 128 + run.signal;
  } else {
    run.exit_status = WEXITSTATUS(status);
  }
  if (tool->capture_stdout) {
    run.out = ReadText(tool->scratch + "/stdout");
  }
  run.err = ReadText(tool->scratch + "/stderr");
  RemoveTree(tool->scratch);
  tool->pid = -1;
  return run;
}

std::string PrintedSoFar(const StartedTool& tool) {
  return ReadText(tool.scratch + "/stdout");
}

ToolRun RunTool(const std::vector<std::string>& args,
                const ToolOptions& options) {
  StartedTool tool = StartTool(args, options);
  return WaitForTool(&tool);
}

ToolRun RunToolOnPipe(const std::vector<std::string>& args,
                      const Bytes& stdin_bytes, PipeReport* report,
                      bool linger) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::mutex mutex;
  std::condition_variable tool_ended;
  bool ended = false;
  bool waited_for_close = false;
  std::thread writer([&] {
    WriteToPipe(ends[1], stdin_bytes);
    if (linger) {
      std::unique_lock<std::mutex> lock(mutex);
      waited_for_close = !tool_ended.wait_for(lock, std::chrono::seconds(30),
                                              [&ended] { return ended; });
    }
    close(ends[1]);
  });
  // The child opens its standard input through this path before exec, while
  // it still holds the parent's descriptors; the write end closes at exec.
  ToolOptions options;
  options.stdin_path = "/dev/fd/" + std::to_string(ends[0]);
  const ToolRun run = RunTool(args, options);
  {
    const std::lock_guard<std::mutex> lock(mutex);
    ended = true;
  }
  tool_ended.notify_all();
  // Whatever the tool left unread, up to the writer's close.
  Bytes left_over;
  uint8_t chunk[65536];
  ssize_t got = 0;
  while ((got = read(ends[0], chunk, sizeof chunk)) > 0) {
    left_over.insert(left_over.end(), chunk, chunk + got);
  }
  close(ends[0]);
  writer.join();
  if (report != nullptr) {
    report->left_over = std::move(left_over);
    report->tool_waited_for_close = waited_for_close;
  }
  return run;
}

void FeedPipe(int fd, const Bytes& bytes) {
  WriteToPipe(fd, bytes);
  close(fd);
}

long PeakMemoryKib(const std::vector<std::string>& args,
                   const std::string& scratch) {
  // A child of this process would count the test's own memory, which it
  // shares until exec, in its peak; GNU time forks the tool from a small
  // process of its own.
  const char* time_path = "/usr/bin/time";
  if (access(time_path, X_OK) != 0) {
    return -1;
  }
  const std::string report = scratch + "/peak-memory";
  ToolOptions options;
  options.stdout_path = "/dev/null";
  options.prefix = {time_path, "-f", "%M", "-o", report};
  RunTool(args, options);
  std::ifstream in(report);
  long kib = -1;
  in >> kib;
  return kib;
}

Captured ConvertInProcess(const std::string& input, const std::string& output,
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
  Captured printed{ReadText(out_path), ReadText(err_path)};
  std::filesystem::remove(out_path);
  std::filesystem::remove(err_path);
  return printed;
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
