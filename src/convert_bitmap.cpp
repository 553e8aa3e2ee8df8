// Streams a 24-bit BMP into raw RGB565.
//
// The input is read front to back only, in blocks of whole rows, so a pipe or
// FIFO works as well as a file. BMP rows are usually stored bottom row first;
// each block's rows are converted where they were read and land, in reverse
// order, with a single gathering positioned write, so the output needs
// seeking but the input never does. Memory is one fixed block, whatever the
// picture.
#include "convert_bitmap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "convert_row.h"

namespace {

// Every way a run can end. Each has exactly one message.
enum class Outcome {
  kConverted,
  kCantOpenInput,
  kCantOpenOutput,
  kSameFile,
  kNotBmp,
  kWrongBitCount,
  kTooLarge,
  kCompressed,
  kTruncated,
  kCantWrite,
};

constexpr int64_t kMaxSide = 10000;

constexpr size_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;      // OS/2 1.x: 16-bit dimensions
constexpr uint32_t kLargestHeaderSize = 124;  // V5
constexpr uint32_t kMaskBytes = 12;           // red, green, blue bit fields
constexpr uint32_t kBitFields = 3;

// Input is read this many bytes of whole rows at a time; the widest row
// (10000 pixels, 30000 bytes) fits many times over. Each read and write
// costs a system call, and those are dear next to copying a few bytes, so a
// block is large; rows are converted in place, so that the one block is all
// the cache has to hold.
constexpr size_t kInputBlockBytes = size_t{1024} * 1024;
// A block goes out with one gathering write of one piece per row, and
// pwritev() takes at most IOV_MAX pieces.
constexpr size_t kMaxRowsPerBlock = std::min(IOV_MAX, 1024);

uint8_t input_block[kInputBlockBytes];
iovec row_pieces[kMaxRowsPerBlock];

// What the headers say about the pixel array.
struct Bitmap {
  uint32_t pixel_offset;  // bfOffBits: where the first row starts
  int32_t width;
  int32_t height;  // negative: rows stored top row first
  uint16_t bit_count;
  uint32_t compression;
  uint64_t header_end;  // bytes read so far: headers and any masks
};

// The number of rows: the height's magnitude, taken in 64 bits since
// -2147483648 has no 32-bit one.
uint64_t CountRows(const Bitmap& bitmap) {
  return static_cast<uint64_t>(std::abs(static_cast<int64_t>(bitmap.height)));
}

// Bytes from one row's start to the next: rows are padded to a multiple of
// four bytes.
uint64_t RowStride(const Bitmap& bitmap) {
  return (static_cast<uint64_t>(bitmap.width) * 3 + 3) & ~uint64_t{3};
}

uint16_t ReadLe16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint32_t ReadLe32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) |
         (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) |
         (static_cast<uint32_t>(bytes[3]) << 24);
}

// Reads until `size` bytes are in or the input ends. Returns the count read,
// or -1 on a read error.
ssize_t ReadFully(int fd, uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = read(fd, data + done, size - done);
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
  return static_cast<ssize_t>(done);
}

// Writes the `count` pieces, one after the other, at `offset`. Writes that
// continue where the last one ended go through writev(), so a picture stored
// top row first can stream into a pipe; the rest are positioned writes.
// `position` tracks the descriptor's own offset, which pwritev() leaves
// alone. The pieces are used up as they are written.
bool WriteFully(int fd, iovec* pieces, int count, uint64_t offset,
                uint64_t* position) {
  while (count > 0) {
    const bool in_sequence = offset == *position;
    const ssize_t written =
        in_sequence ? writev(fd, pieces, count)
                    : pwritev(fd, pieces, count, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    if (in_sequence) {
      *position += static_cast<uint64_t>(written);
    }
    offset += static_cast<uint64_t>(written);
    auto left = static_cast<size_t>(written);
    while (count > 0 && left >= pieces->iov_len) {
      left -= pieces->iov_len;
      ++pieces;
      --count;
    }
    if (count > 0) {
      pieces->iov_base = static_cast<uint8_t*>(pieces->iov_base) + left;
      pieces->iov_len -= left;
    }
  }
  return true;
}

// Windows headers (40, 52, 56, 108, 124 bytes) as opposed to OS/2 2.x ones,
// which may be any size from 16 to 64 and give compression 3 another meaning.
bool IsWindowsHeader(uint32_t header_size) {
  return header_size == 40 || header_size == 52 || header_size == 56 ||
         header_size == 108 || header_size == 124;
}

bool IsKnownHeaderSize(uint32_t header_size) {
  return header_size == kCoreHeaderSize ||
         (header_size >= 16 && header_size <= 64) || header_size == 108 ||
         header_size == kLargestHeaderSize;
}

// Bit fields are only plain pixels when they name the usual byte positions.
bool AreUsualMasks(const uint8_t* masks) {
  return ReadLe32(masks) == 0xFF0000 && ReadLe32(masks + 4) == 0xFF00 &&
         ReadLe32(masks + 8) == 0xFF;
}

// Reads `size` header bytes: a file that ends first is no BMP, and a read
// error means the input cannot be read at all.
Outcome ReadHeaderBytes(int fd, uint8_t* data, size_t size) {
  const ssize_t got = ReadFully(fd, data, size);
  if (got < 0) {
    return Outcome::kCantOpenInput;
  }
  return static_cast<size_t>(got) < size ? Outcome::kNotBmp
                                         : Outcome::kConverted;
}

// Reads the file and information headers (and bit-field masks that follow a
// 40-byte header) and tests them, in the order the messages are promised:
// signature, complete header, bit count, size, then layout and compression.
Outcome ReadHeaders(int fd, Bitmap* bitmap) {
  // Fields beyond a short header's declared size count as zero.
  uint8_t header[kFileHeaderSize + kLargestHeaderSize + kMaskBytes] = {};
  Outcome outcome = ReadHeaderBytes(fd, header, 2);
  if (outcome != Outcome::kConverted) {
    return outcome;
  }
  if (header[0] != 'B' || header[1] != 'M') {
    return Outcome::kNotBmp;
  }
  // The rest of the file header and the information header's size field.
  outcome = ReadHeaderBytes(fd, header + 2, kFileHeaderSize + 4 - 2);
  if (outcome != Outcome::kConverted) {
    return outcome;
  }
  const uint32_t header_size = ReadLe32(header + kFileHeaderSize);
  if (!IsKnownHeaderSize(header_size)) {
    return Outcome::kNotBmp;
  }
  outcome = ReadHeaderBytes(fd, header + kFileHeaderSize + 4, header_size - 4);
  if (outcome != Outcome::kConverted) {
    return outcome;
  }

  const uint8_t* info = header + kFileHeaderSize;
  bitmap->pixel_offset = ReadLe32(header + 10);
  bitmap->header_end = kFileHeaderSize + header_size;
  if (header_size == kCoreHeaderSize) {
    bitmap->width = ReadLe16(info + 4);
    bitmap->height = ReadLe16(info + 6);
    bitmap->bit_count = ReadLe16(info + 10);
    bitmap->compression = 0;
  } else {
    bitmap->width = static_cast<int32_t>(ReadLe32(info + 4));
    bitmap->height = static_cast<int32_t>(ReadLe32(info + 8));
    bitmap->bit_count = ReadLe16(info + 14);
    bitmap->compression = ReadLe32(info + 16);
  }

  if (bitmap->bit_count != 24) {
    return Outcome::kWrongBitCount;
  }
  if (bitmap->width > kMaxSide ||
      CountRows(*bitmap) > static_cast<uint64_t>(kMaxSide)) {
    return Outcome::kTooLarge;
  }
  if (bitmap->width < 0 || bitmap->pixel_offset < bitmap->header_end) {
    return Outcome::kNotBmp;
  }
  if (bitmap->compression == kBitFields && IsWindowsHeader(header_size)) {
    const uint8_t* masks = info + 40;
    if (header_size == 40) {
      // A 40-byte header keeps its masks right behind it, before the pixels.
      if (bitmap->pixel_offset < bitmap->header_end + kMaskBytes) {
        return Outcome::kNotBmp;
      }
      outcome = ReadHeaderBytes(fd, header + bitmap->header_end, kMaskBytes);
      if (outcome != Outcome::kConverted) {
        return outcome;
      }
      masks = header + bitmap->header_end;
      bitmap->header_end += kMaskBytes;
    }
    return AreUsualMasks(masks) ? Outcome::kConverted : Outcome::kCompressed;
  }
  return bitmap->compression == 0 ? Outcome::kConverted : Outcome::kCompressed;
}

// Moves the input from the end of the headers to the first pixel row.
// Forward only: a regular file seeks, anything else is read through.
bool SkipToPixels(int fd, bool seekable, uint64_t gap) {
  if (seekable) {
    return gap == 0 || lseek(fd, static_cast<off_t>(gap), SEEK_CUR) >= 0;
  }
  while (gap > 0) {
    const size_t chunk =
        static_cast<size_t>(std::min<uint64_t>(gap, kInputBlockBytes));
    if (ReadFully(fd, input_block, chunk) != static_cast<ssize_t>(chunk)) {
      return false;
    }
    gap -= chunk;
  }
  return true;
}

// Converts every row, reading `input` from its current position (the first
// pixel row). Returns kTruncated if the pixels end early.
Outcome ConvertPixels(int input, int output, const Bitmap& bitmap) {
  const bool top_down = bitmap.height < 0;
  const uint64_t width = static_cast<uint64_t>(bitmap.width);
  const uint64_t rows = CountRows(bitmap);
  const uint64_t stride = RowStride(bitmap);
  const uint64_t words_per_row = width * 2;
  const uint64_t rows_per_block =
      std::min<uint64_t>(kInputBlockBytes / stride, kMaxRowsPerBlock);
  uint64_t position = 0;

  for (uint64_t row = 0; row < rows;) {
    const uint64_t count = std::min(rows_per_block, rows - row);
    const size_t wanted = static_cast<size_t>(count * stride);
    // Some writers drop the last row's padding; that is not truncation.
    const size_t needed = row + count == rows
                              ? static_cast<size_t>(wanted - stride + width * 3)
                              : wanted;
    const ssize_t got = ReadFully(input, input_block, wanted);
    if (got < 0) {
      return Outcome::kCantOpenInput;
    }
    if (static_cast<size_t>(got) < needed) {
      return Outcome::kTruncated;
    }
    // A row's words are never longer than its pixels, so they overwrite only
    // its own pixels and those of rows already converted.
    for (uint64_t i = 0; i < count; ++i) {
      uint8_t* words = input_block + i * words_per_row;
      ConvertRow(input_block + i * stride, words, bitmap.width);
      const uint64_t slot = top_down ? i : count - 1 - i;
      row_pieces[slot] = {words, static_cast<size_t>(words_per_row)};
    }
    // The block's rows, top to bottom, sit side by side in the output.
    const uint64_t top_row = top_down ? row : rows - row - count;
    if (!WriteFully(output, row_pieces, static_cast<int>(count),
                    top_row * words_per_row, &position)) {
      return Outcome::kCantWrite;
    }
    row += count;
  }
  return Outcome::kConverted;
}

// The byte just past the last pixel the picture needs, the final row's
// padding not counted.
uint64_t PixelDataEnd(const Bitmap& bitmap) {
  const uint64_t width = static_cast<uint64_t>(bitmap.width);
  const uint64_t rows = CountRows(bitmap);
  if (width == 0 || rows == 0) {
    return 0;
  }
  return bitmap.pixel_offset + RowStride(bitmap) * (rows - 1) + width * 3;
}

// Best effort: there is nothing more to do if emptying fails too.
void EmptyFile(int fd) {
  if (ftruncate(fd, 0) != 0) {
    return;
  }
}

bool IsSameFile(const struct stat& input_status, const char* output_path) {
  struct stat output_status {};
  return stat(output_path, &output_status) == 0 &&
         output_status.st_dev == input_status.st_dev &&
         output_status.st_ino == input_status.st_ino;
}

// Everything after both files are open: headers, checks, pixels.
Outcome ConvertOpenFiles(int input, const struct stat& input_status, int output,
                         Bitmap* bitmap) {
  const Outcome header_outcome = ReadHeaders(input, bitmap);
  if (header_outcome != Outcome::kConverted) {
    return header_outcome;
  }
  const uint64_t pixel_end = PixelDataEnd(*bitmap);
  if (pixel_end == 0) {
    return Outcome::kConverted;
  }
  const bool seekable = S_ISREG(input_status.st_mode);
  // A regular file's size tells truncation before a byte is written.
  if (seekable && static_cast<uint64_t>(input_status.st_size) < pixel_end) {
    return Outcome::kTruncated;
  }
  if (!SkipToPixels(input, seekable,
                    bitmap->pixel_offset - bitmap->header_end)) {
    return Outcome::kTruncated;
  }
  return ConvertPixels(input, output, *bitmap);
}

void PrintOutcome(Outcome outcome, const Bitmap& bitmap) {
  switch (outcome) {
    case Outcome::kConverted:
      std::fputs("Image converted successfully", stdout);
      break;
    case Outcome::kCantOpenInput:
      std::fputs("Couldn't open input file\n", stdout);
      break;
    case Outcome::kCantOpenOutput:
      std::fputs("Couldn't open output file\n", stdout);
      break;
    case Outcome::kSameFile:
      std::fputs("Input and output are the same file\n", stdout);
      break;
    case Outcome::kNotBmp:
      std::fputs("Input file is not a valid BMP\n", stdout);
      break;
    case Outcome::kWrongBitCount:
      std::printf("Input file is %d bits per pixel. Must be 24 bpp\n",
                  static_cast<int>(bitmap.bit_count));
      break;
    case Outcome::kTooLarge:
      std::fputs("Input image is too large\n", stdout);
      break;
    case Outcome::kCompressed:
      std::fputs("Input file is compressed. Must be uncompressed\n", stdout);
      break;
    case Outcome::kTruncated:
      std::fputs("Input file is truncated\n", stdout);
      break;
    case Outcome::kCantWrite:
      std::fputs("Couldn't write output file\n", stdout);
      break;
  }
}

Outcome ConvertPaths(const char* input_path, const char* output_path,
                     Bitmap* bitmap) {
  const int input = open(input_path, O_RDONLY | O_CLOEXEC);
  if (input < 0) {
    return Outcome::kCantOpenInput;
  }
  struct stat input_status {};
  if (fstat(input, &input_status) != 0 || S_ISDIR(input_status.st_mode)) {
    close(input);
    return Outcome::kCantOpenInput;
  }
  // Opening the output empties it: check first that it is not the picture.
  if (IsSameFile(input_status, output_path)) {
    close(input);
    return Outcome::kSameFile;
  }
  const int output =
      open(output_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (output < 0) {
    close(input);
    return Outcome::kCantOpenOutput;
  }
  struct stat output_status {};
  const bool output_is_file =
      fstat(output, &output_status) == 0 && S_ISREG(output_status.st_mode);
  (void)posix_fadvise(input, 0, 0, POSIX_FADV_SEQUENTIAL);

  Outcome outcome = ConvertOpenFiles(input, input_status, output, bitmap);
  close(input);
  // A refusal leaves the output empty; only pixel-stage failures have written
  // anything, so emptying again is harmless for the rest.
  if (outcome != Outcome::kConverted && output_is_file) {
    EmptyFile(output);
  }
  // Some file systems report a lost write only at close.
  if (close(output) != 0 && outcome == Outcome::kConverted) {
    outcome = Outcome::kCantWrite;
    const int reopened =
        output_is_file ? open(output_path, O_WRONLY | O_TRUNC | O_CLOEXEC) : -1;
    if (reopened >= 0) {
      close(reopened);
    }
  }
  return outcome;
}

}  // namespace

void ConvertBitmap(const char* input_path, const char* output_path) {
  Bitmap bitmap{};
  PrintOutcome(ConvertPaths(input_path, output_path, &bitmap), bitmap);
}
