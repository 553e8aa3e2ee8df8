// Starting the tool and feeding it pipes on POSIX systems.
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "test_support.h"

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

bool MakePipe(int ends[2]) {
  // pipe2() is not everywhere (macOS lacks it).
  return pipe(ends) == 0 && fcntl(ends[0], F_SETFD, FD_CLOEXEC) == 0 &&
         fcntl(ends[1], F_SETFD, FD_CLOEXEC) == 0;
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
#ifdef BRAVIK_EMULATOR
  // A cross-built tool runs under the emulator that runs these tests.
  argv_strings.emplace_back(BRAVIK_EMULATOR);
#endif
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
  // The watchdog may kill the child only while it is still there to be
  // killed: it is waited for without being reaped, and reaped only once the
  // watchdog has stood down, so its pid cannot have been reused meanwhile.
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  bool killed = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!ended.wait_for(lock, std::chrono::seconds(kToolDeadlineSeconds),
                        [&done] { return done; })) {
      killed = true;
      kill(tool->pid, SIGKILL);
    }
  });
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(tool->pid), &info, WEXITED | WNOWAIT) <
             0 &&
         errno == EINTR) {
  }
  {
    const std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  ended.notify_all();
  watchdog.join();
  if (killed) {
    ADD_FAILURE() << "the tool had not ended after " << kToolDeadlineSeconds
                  << " s and was killed";
  }
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

ToolRun RunToolOnPipe(const std::vector<std::string>& args,
                      const Bytes& stdin_bytes, PipeReport* report,
                      bool linger) {
  int ends[2];
  if (!MakePipe(ends)) {
    throw std::runtime_error("pipe failed");
  }
  std::mutex mutex;
  std::condition_variable tool_ended;
  bool ended = false;
  bool waited_for_close = false;
  // The child opens its standard input through this path before exec, while
  // it still holds the parent's descriptors; the write end closes at exec.
  ToolOptions options;
  options.stdin_path = "/dev/fd/" + std::to_string(ends[0]);
  StartedTool tool = StartTool(args, options);
  // The writer starts only once the child is there: a fork while another
  // thread runs copies whatever locks that thread holds, and under an
  // emulator those include the emulator's own.
  std::thread writer([&] {
    WriteToPipe(ends[1], stdin_bytes);
    if (linger) {
      std::unique_lock<std::mutex> lock(mutex);
      waited_for_close = !tool_ended.wait_for(lock, std::chrono::seconds(30),
                                              [&ended] { return ended; });
    }
    close(ends[1]);
  });
  const ToolRun run = WaitForTool(&tool);
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

size_t CountOpenFiles() {
  size_t count = 0;
  for (int fd = 0; fd < 4096; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) {
      ++count;
    }
  }
  return count;
}
