// The tool's messages and the BMP header fields that tests patch, defined
// once for the tests and the fuzz target. Nothing here depends on a test
// framework.
#ifndef BRAVIK_TESTS_TOOL_MESSAGES_H_
#define BRAVIK_TESTS_TOOL_MESSAGES_H_

#include <cstddef>
#include <string>

// The last line of a run. Only the success line has no line feed.
inline constexpr char kConverted[] = "Image converted successfully";
inline constexpr char kCantOpenInput[] = "Couldn't open input file\n";
inline constexpr char kCantOpenOutput[] = "Couldn't open output file\n";
inline constexpr char kSameFile[] = "Input and output are the same file\n";
inline constexpr char kOutputIsStandardOutput[] =
    "Output file is the standard output\n";
inline constexpr char kNotBmp[] = "Input file is not a valid BMP\n";
inline constexpr char kTooLarge[] = "Input image is too large\n";
inline constexpr char kCompressed[] =
    "Input file is compressed. Must be uncompressed\n";
inline constexpr char kTruncated[] = "Input file is truncated\n";
inline constexpr char kCantWrite[] = "Couldn't write output file\n";
inline constexpr char kUsage[] = "syntax: bravik <input file> <output file>\n";

inline std::string WrongBitCount(unsigned bit_count) {
  return "Input file is " + std::to_string(bit_count) +
         " bits per pixel. Must be 24 bpp\n";
}

// Byte offsets of header fields, counted from the start of the file.
inline constexpr size_t kFileSizeAt = 2;
inline constexpr size_t kOffBitsAt = 10;
inline constexpr size_t kHeaderSizeAt = 14;
inline constexpr size_t kWidthAt = 18;
inline constexpr size_t kHeightAt = 22;
inline constexpr size_t kBitCountAt = 28;
inline constexpr size_t kCompressionAt = 30;

#endif  // BRAVIK_TESTS_TOOL_MESSAGES_H_
