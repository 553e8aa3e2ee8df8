// Streams a 24-bit BMP into raw RGB565.
//
// The input is read front to back only, in blocks of whole rows, so a pipe or
// FIFO works as well as a file. BMP rows are usually stored bottom row first;
// each block's rows are converted where they were read and land, in reverse
// order, with a single gathering positioned write, so the output needs
// seeking but the input never does. Memory is one fixed block, whatever the
// picture.
#include "convert_bitmap.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "convert_row.h"
#include "platform.h"

namespace {

// Every way a run can end. Each has exactly one message.
enum class Outcome {
  // Nothing refused so far: go on to the next step. Never printed.
  kProceed,
  kConverted,
  kCantOpenInput,
  kCantOpenOutput,
  kSameFile,
  kOutputIsStandardOutput,
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
constexpr uint32_t kJpeg = 4;
constexpr uint32_t kPng = 5;

// Input is read this many bytes of whole rows at a time; the widest row
// (10000 pixels, 30000 bytes) fits many times over. Each read and write
// costs a system call, and those are dear next to copying a few bytes, so a
// block is large; rows are converted in place, so that the one block is all
// the cache has to hold.
constexpr size_t kInputBlockBytes = size_t{1024} * 1024;
// A block goes out with one gathering write of one piece per row.
constexpr size_t kMaxRowsPerBlock = kMaxWritePieces;

uint8_t input_block[kInputBlockBytes];
WritePiece row_pieces[kMaxRowsPerBlock];

// What the headers say about the pixel array.
struct Bitmap {
  uint32_t file_size;     // bfSize: the whole file, as its writer counted it
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
Outcome ReadHeaderBytes(FileHandle input, uint8_t* data, size_t size) {
  const int64_t got = ReadFully(input, data, size);
  if (got < 0) {
    return Outcome::kCantOpenInput;
  }
  return static_cast<uint64_t>(got) < size ? Outcome::kNotBmp
                                           : Outcome::kProceed;
}

// Reads the file and information headers (and bit-field masks that follow a
// 40-byte header) and tests them, in the order the messages are promised:
// signature, complete header, bit count, size, then layout and compression.
Outcome ReadHeaders(FileHandle input, Bitmap* bitmap) {
  // Fields beyond a short header's declared size count as zero.
  uint8_t header[kFileHeaderSize + kLargestHeaderSize + kMaskBytes] = {};
  Outcome outcome = ReadHeaderBytes(input, header, 2);
  if (outcome != Outcome::kProceed) {
    return outcome;
  }
  if (header[0] != 'B' || header[1] != 'M') {
    return Outcome::kNotBmp;
  }
  // The rest of the file header and the information header's size field.
  outcome = ReadHeaderBytes(input, header + 2, kFileHeaderSize + 4 - 2);
  if (outcome != Outcome::kProceed) {
    return outcome;
  }
  const uint32_t header_size = ReadLe32(header + kFileHeaderSize);
  if (!IsKnownHeaderSize(header_size)) {
    return Outcome::kNotBmp;
  }
  outcome =
      ReadHeaderBytes(input, header + kFileHeaderSize + 4, header_size - 4);
  if (outcome != Outcome::kProceed) {
    return outcome;
  }

  const uint8_t* info = header + kFileHeaderSize;
  bitmap->file_size = ReadLe32(header + 2);
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
    // A JPEG or PNG payload has no bit count of its own: it is compressed,
    // whatever its depth.
    const bool embedded_image =
        bitmap->compression == kJpeg || bitmap->compression == kPng;
    return bitmap->bit_count == 0 && embedded_image ? Outcome::kCompressed
                                                    : Outcome::kWrongBitCount;
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
      outcome = ReadHeaderBytes(input, header + bitmap->header_end, kMaskBytes);
      if (outcome != Outcome::kProceed) {
        return outcome;
      }
      masks = header + bitmap->header_end;
      bitmap->header_end += kMaskBytes;
    }
    return AreUsualMasks(masks) ? Outcome::kProceed : Outcome::kCompressed;
  }
  return bitmap->compression == 0 ? Outcome::kProceed : Outcome::kCompressed;
}

// Moves the input `count` bytes on, forward only: a regular file seeks,
// anything else is read through.
Outcome SkipInput(FileHandle input, bool seekable, uint64_t count) {
  if (seekable) {
    return SkipForward(input, count) ? Outcome::kProceed
                                     : Outcome::kCantOpenInput;
  }
  while (count > 0) {
    const size_t chunk =
        static_cast<size_t>(std::min<uint64_t>(count, kInputBlockBytes));
    const int64_t got = ReadFully(input, input_block, chunk);
    if (got < 0) {
      return Outcome::kCantOpenInput;
    }
    if (static_cast<uint64_t>(got) < chunk) {
      return Outcome::kTruncated;
    }
    count -= chunk;
  }
  return Outcome::kProceed;
}

// Converts every row, reading `input` from its current position (the first
// pixel row) up to the last pixel byte and not beyond.
Outcome ConvertPixels(FileHandle input, FileHandle output,
                      const Bitmap& bitmap) {
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
    // The last row's padding is not needed, and some writers leave it out:
    // a pipe whose writer stays open must not be waited on for it.
    const size_t wanted =
        row + count == rows
            ? static_cast<size_t>(count * stride - stride + width * 3)
            : static_cast<size_t>(count * stride);
    const int64_t got = ReadFully(input, input_block, wanted);
    if (got < 0) {
      return Outcome::kCantOpenInput;
    }
    if (static_cast<uint64_t>(got) < wanted) {
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
    if (!WritePieces(output, row_pieces, static_cast<int>(count),
                     top_row * words_per_row, &position)) {
      return Outcome::kCantWrite;
    }
    row += count;
  }
  return Outcome::kProceed;
}

// The byte just past the last pixel the picture needs, the final row's
// padding not counted; 0 for a picture without pixels.
uint64_t PixelDataEnd(const Bitmap& bitmap) {
  const uint64_t width = static_cast<uint64_t>(bitmap.width);
  const uint64_t rows = CountRows(bitmap);
  if (width == 0 || rows == 0) {
    return 0;
  }
  return bitmap.pixel_offset + RowStride(bitmap) * (rows - 1) + width * 3;
}

// Everything after both files are open: headers, checks, pixels.
Outcome ConvertOpenFiles(FileHandle input, const FileStatus& input_status,
                         FileHandle output, Bitmap* bitmap) {
  Outcome outcome = ReadHeaders(input, bitmap);
  if (outcome != Outcome::kProceed) {
    return outcome;
  }
  const bool seekable = input_status.kind == FileKind::kRegular;
  uint64_t consumed = bitmap->header_end;
  const uint64_t pixel_end = PixelDataEnd(*bitmap);
  if (pixel_end != 0) {
    // A regular file's size tells truncation before a byte is written.
    if (seekable && input_status.size < pixel_end) {
      return Outcome::kTruncated;
    }
    outcome =
        SkipInput(input, seekable, bitmap->pixel_offset - bitmap->header_end);
    if (outcome == Outcome::kProceed) {
      outcome = ConvertPixels(input, output, *bitmap);
    }
    if (outcome != Outcome::kProceed) {
      return outcome;
    }
    consumed = pixel_end;
  }
  // A pipe's writer expects the whole file to be taken, and dies of a broken
  // pipe otherwise: whatever follows the pixels (a colour profile, say) is
  // read and dropped, up to the size the file header gives and no further.
  // The picture is whole by now, so the end of the input or a read error
  // only stops the reading.
  if (!seekable && consumed < bitmap->file_size) {
    (void)SkipInput(input, seekable, bitmap->file_size - consumed);
  }
  return Outcome::kConverted;
}

// Refuses an output that must not be written at all: the input itself, or
// the file or pipe that standard output goes to and the messages land in.
Outcome CheckOutput(const FileStatus& input, const FileStatus& output) {
  if (IsSameFile(output, input)) {
    return Outcome::kSameFile;
  }
  // A terminal or /dev/null given twice harms nothing.
  FileStatus standard_output{};
  if (output.kind != FileKind::kCharacterDevice &&
      GetStandardOutputStatus(&standard_output) &&
      IsSameFile(output, standard_output)) {
    return Outcome::kOutputIsStandardOutput;
  }
  return Outcome::kProceed;
}

Outcome ConvertPaths(const char* input_path, const char* output_path,
                     Bitmap* bitmap) {
  const FileHandle input = OpenInputFile(input_path);
  if (input == kNoFile) {
    return Outcome::kCantOpenInput;
  }
  FileStatus input_status{};
  if (!GetFileStatus(input, &input_status) ||
      input_status.kind == FileKind::kDirectory) {
    CloseFile(input);
    return Outcome::kCantOpenInput;
  }
  // Opened without emptying it: it may turn out to be the picture itself.
  // Which file it is is decided on the file opened, so no renaming or
  // relinking in between can slip another file in.
  const FileHandle output = OpenOutputFile(output_path);
  if (output == kNoFile) {
    CloseFile(input);
    // A picture that is read-only, or that the system will not share, cannot
    // be opened as the output either; nothing is written, so its name can
    // safely say which it is.
    FileStatus named{};
    const Outcome named_outcome = GetPathStatus(output_path, &named)
                                      ? CheckOutput(input_status, named)
                                      : Outcome::kProceed;
    return named_outcome == Outcome::kProceed ? Outcome::kCantOpenOutput
                                              : named_outcome;
  }
  FileStatus output_status{};
  Outcome outcome = GetFileStatus(output, &output_status)
                        ? CheckOutput(input_status, output_status)
                        : Outcome::kCantOpenOutput;
  if (outcome != Outcome::kProceed) {
    CloseFile(output);
    CloseFile(input);
    return outcome;
  }
  const bool regular = output_status.kind == FileKind::kRegular;
  GuardOutput(output, regular);
  if (regular && !EmptyFile(output)) {
    outcome = Outcome::kCantOpenOutput;
  } else {
    AdviseSequentialRead(input);
    outcome = ConvertOpenFiles(input, input_status, output, bitmap);
  }
  CloseFile(input);
  // A refusal leaves the output empty; only pixel-stage failures have written
  // anything, so emptying again is harmless for the rest.
  if (outcome != Outcome::kConverted && regular) {
    EmptyFile(output);
  }
  ReleaseOutput();
  if (!CloseOutputFile(output, regular) && outcome == Outcome::kConverted) {
    outcome = Outcome::kCantWrite;
  }
  return outcome;
}

void PrintOutcome(Outcome outcome, const Bitmap& bitmap) {
  switch (outcome) {
    case Outcome::kProceed:
      break;
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
    case Outcome::kOutputIsStandardOutput:
      std::fputs("Output file is the standard output\n", stdout);
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

}  // namespace

void ConvertBitmap(const char* input_path, const char* output_path) {
  Bitmap bitmap{};
  PrintOutcome(ConvertPaths(input_path, output_path, &bitmap), bitmap);
}
