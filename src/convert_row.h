// Row kernels: 24-bit BMP pixels (blue, green, red bytes) to RGB565 words.
//
// Output word, stored little-endian (low byte first):
//
//   bit  15 14 13 12 11 10  9  8  7  6  5  4  3  2  1  0
//        r7 r6 r5 r4 r3 g7 g6 g5 g4 g3 g2 b7 b6 b5 b4 b3
//
// Each component keeps its high bits; the low ones are dropped (no rounding,
// no dithering). Every kernel gives the same bytes as the scalar one.
#ifndef BRAVIK_CONVERT_ROW_H_
#define BRAVIK_CONVERT_ROW_H_

#include <cstdint>

// Converts `count` pixels: reads 3 x count bytes from `input` and writes
// 2 x count bytes to `output`. A count of zero or less converts nothing.
// Never touches a byte outside those two ranges. `output` may be `input`
// itself or start anywhere before it: every pixel is read before its word,
// or any later one, is stored, so rows can be converted in place. Uses the
// fastest kernel the CPU has, chosen once at start-up.
void ConvertRow(const uint8_t* input, uint8_t* output, int32_t count);

using RowKernel = void (*)(const uint8_t* input, uint8_t* output,
                           int32_t count);

struct RowKernelEntry {
  const char* name;
  RowKernel convert;
};

// For tests and benchmarks: the kernels this build has and this CPU can run,
// scalar first and each wider than the one before it. The tool itself only
// ever calls ConvertRow. An index outside the list gives {nullptr, nullptr}.
int CountRowKernels();
RowKernelEntry GetRowKernel(int index);

// For tests: the name of the kernel ConvertRow calls.
const char* ChosenRowKernelName();

#endif  // BRAVIK_CONVERT_ROW_H_
