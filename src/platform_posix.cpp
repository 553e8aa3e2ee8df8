// The platform layer on POSIX systems (Linux, macOS, the BSDs): POSIX.1-2008
// calls only, and what goes beyond them (pwritev, posix_fadvise) only where
// the build found it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <iterator>

#include "platform.h"

namespace {

int Fd(FileHandle file) { return static_cast<int>(file); }

FileKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) {
    return FileKind::kRegular;
  }
  if (S_ISDIR(mode)) {
    return FileKind::kDirectory;
  }
  if (S_ISFIFO(mode) || S_ISSOCK(mode)) {
    return FileKind::kPipe;
  }
  if (S_ISCHR(mode)) {
    return FileKind::kCharacterDevice;
  }
  return FileKind::kOther;
}

void Describe(const struct stat& status, FileStatus* described) {
  described->kind = KindOf(status.st_mode);
  described->size = S_ISREG(status.st_mode) && status.st_size > 0
                        ? static_cast<uint64_t>(status.st_size)
                        : 0;
  described->volume = static_cast<uint64_t>(status.st_dev);
  described->index = static_cast<uint64_t>(status.st_ino);
}

// pwritev() and writev() take at most IOV_MAX pieces.
constexpr int kPiecesPerCall =
    IOV_MAX < kMaxWritePieces ? IOV_MAX : kMaxWritePieces;
iovec write_vector[kMaxWritePieces];

// Writes `count` pieces in one call: sequentially when `offset` is where the
// descriptor stands, positioned otherwise. Returns what write() would.
ssize_t WriteOnce(int fd, const iovec* pieces, int count, uint64_t offset,
                  bool sequential) {
  if (count > kPiecesPerCall) {
    count = kPiecesPerCall;
  }
  if (sequential) {
    return writev(fd, pieces, count);
  }
#ifdef BRAVIK_HAVE_PWRITEV
  return pwritev(fd, pieces, count, static_cast<off_t>(offset));
#else
  return pwrite(fd, pieces->iov_base, pieces->iov_len,
                static_cast<off_t>(offset));
#endif
}

// --- Signals
// The one output a signal must empty, or -1. Set only while a conversion
// has it open.
volatile sig_atomic_t guarded_output = -1;

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kWriteErrorSignals[] = {SIGPIPE, SIGXFSZ};
struct sigaction saved_ending[3];
struct sigaction saved_write_error[2];

// Leaves no half-made picture behind, then ends the process by the signal
// itself, so that whoever started it sees the signal in its status.
extern "C" void EmptyOutputAndEnd(int signal_number) {
  const int output = guarded_output;
  if (output >= 0) {
    (void)ftruncate(output, 0);
  }
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(signal_number, &default_action, nullptr);
  // Delivered, with its default action, as soon as the handler returns.
  raise(signal_number);
}

}  // namespace

void PrepareProcess(int* /*argc*/, char*** /*argv*/) {}

FileHandle OpenInputFile(const char* path) {
  return open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
}

FileHandle OpenOutputFile(const char* path) {
  return open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
}

bool GetFileStatus(FileHandle file, FileStatus* status) {
  struct stat system_status {};
  if (fstat(Fd(file), &system_status) != 0) {
    return false;
  }
  Describe(system_status, status);
  return true;
}

bool GetPathStatus(const char* path, FileStatus* status) {
  struct stat system_status {};
  if (stat(path, &system_status) != 0) {
    return false;
  }
  Describe(system_status, status);
  return true;
}

bool GetStandardOutputStatus(FileStatus* status) {
  return GetFileStatus(STDOUT_FILENO, status);
}

bool IsSameFile(const FileStatus& a, const FileStatus& b) {
  return a.volume == b.volume && a.index == b.index;
}

void AdviseSequentialRead(FileHandle file) {
#ifdef BRAVIK_HAVE_POSIX_FADVISE
  (void)posix_fadvise(Fd(file), 0, 0, POSIX_FADV_SEQUENTIAL);
#else
  (void)file;
#endif
}

int64_t ReadFully(FileHandle file, uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = read(Fd(file), data + done, size - done);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return -1;
    }
    if (got == 0) {
      break;
    }
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

bool SkipForward(FileHandle file, uint64_t count) {
  if (count > static_cast<uint64_t>(INT64_MAX)) {
    return false;
  }
  return count == 0 ||
         lseek(Fd(file), static_cast<off_t>(count), SEEK_CUR) >= 0;
}

bool WritePieces(FileHandle file, WritePiece* pieces, int count,
                 uint64_t offset, uint64_t* position) {
  iovec* vector = write_vector;
  for (int i = 0; i < count; ++i) {
    vector[i].iov_base = const_cast<uint8_t*>(pieces[i].data);
    vector[i].iov_len = pieces[i].size;
  }
  while (count > 0) {
    const bool sequential = offset == *position;
    const ssize_t written =
        WriteOnce(Fd(file), vector, count, offset, sequential);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    if (sequential) {
      *position += static_cast<uint64_t>(written);
    }
    offset += static_cast<uint64_t>(written);
    auto left = static_cast<size_t>(written);
    while (count > 0 && left >= vector->iov_len) {
      left -= vector->iov_len;
      ++vector;
      --count;
    }
    if (count > 0) {
      vector->iov_base = static_cast<uint8_t*>(vector->iov_base) + left;
      vector->iov_len -= left;
    }
  }
  return true;
}

bool EmptyFile(FileHandle file) { return ftruncate(Fd(file), 0) == 0; }

bool CloseFile(FileHandle file) { return close(Fd(file)) == 0; }

bool CloseOutputFile(FileHandle file, bool empty_if_lost) {
  // Some file systems (NFS, FUSE) report a lost write only when the file is
  // closed. A second descriptor outlives that close, so the very file that
  // was written can still be emptied, whatever its name leads to by now.
  const int spare = empty_if_lost ? fcntl(Fd(file), F_DUPFD_CLOEXEC, 0) : -1;
  const bool closed = close(Fd(file)) == 0;
  if (spare >= 0) {
    if (!closed) {
      (void)ftruncate(spare, 0);
    }
    close(spare);
  }
  return closed;
}

void GuardOutput(FileHandle output, bool regular) {
  guarded_output = regular ? Fd(output) : -1;
  struct sigaction ending {};
  ending.sa_handler = EmptyOutputAndEnd;
  sigemptyset(&ending.sa_mask);
  for (const int signal_number : kEndingSignals) {
    sigaddset(&ending.sa_mask, signal_number);
  }
  ending.sa_flags = SA_RESTART;
  for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
    sigaction(kEndingSignals[i], nullptr, &saved_ending[i]);
    // A signal ignored by whoever started the tool (nohup, a background
    // job) stays ignored.
    if (saved_ending[i].sa_handler != SIG_IGN) {
      sigaction(kEndingSignals[i], &ending, nullptr);
    }
  }
  // A reader that has gone away or a file-size limit would otherwise end
  // the process without a word; as EPIPE and EFBIG they are write errors.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (size_t i = 0; i < std::size(kWriteErrorSignals); ++i) {
    sigaction(kWriteErrorSignals[i], &ignore, &saved_write_error[i]);
  }
}

void ReleaseOutput() {
  guarded_output = -1;
  for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
    sigaction(kEndingSignals[i], &saved_ending[i], nullptr);
  }
  for (size_t i = 0; i < std::size(kWriteErrorSignals); ++i) {
    sigaction(kWriteErrorSignals[i], &saved_write_error[i], nullptr);
  }
}
