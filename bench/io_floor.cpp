// The I/O floor: what any converter of a 24-bit picture to 16-bit words must
// at least spend. Reads the input front to back in 1 MiB blocks and writes
// two thirds of every block to the output, with no arithmetic on the bytes.
// The benchmark script times the tool against this.
//
//   io_floor <input file> <output file>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>

namespace {

constexpr size_t kBlockBytes = size_t{1} << 20;

unsigned char block[kBlockBytes];

bool WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Fills the block unless the input ends first; returns the bytes read, or -1.
ssize_t ReadBlock(int fd) {
  size_t done = 0;
  while (done < kBlockBytes) {
    const ssize_t got = read(fd, block + done, kBlockBytes - done);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return -1;
    }
    if (got == 0) {
      break;
    }
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fputs("usage: io_floor <input file> <output file>\n", stderr);
    return 2;
  }
  const int input = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (input < 0) {
    std::perror(argv[1]);
    return 1;
  }
  const int output =
      open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (output < 0) {
    std::perror(argv[2]);
    return 1;
  }
  for (;;) {
    const ssize_t got = ReadBlock(input);
    if (got < 0) {
      std::perror(argv[1]);
      return 1;
    }
    if (got == 0) {
      break;
    }
    if (!WriteAll(output, block, static_cast<size_t>(got) / 3 * 2)) {
      std::perror(argv[2]);
      return 1;
    }
  }
  if (close(output) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  close(input);
  return 0;
}
