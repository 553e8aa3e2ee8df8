#include "convert_row.h"

#include <array>
#include <cstddef>

#if !defined(BRAVIK_SCALAR_ONLY) && (defined(__x86_64__) || defined(__i386__))
#define BRAVIK_X86_KERNELS 1
#include <immintrin.h>
// glibc has read the CPU's features while it started the process, and
// tells them without another CPUID. Each CPUID can trap to the hypervisor
// of a virtual machine, and the tool is started once per picture: the
// compiler's own feature test runs several at every start.
#if __has_include(<sys/platform/x86.h>)
// The header is written in C, whose _Bool is C++'s bool; clang's C++ does
// not know the C name.
#define _Bool bool  // NOLINT(bugprone-reserved-identifier)
#include <sys/platform/x86.h>
#undef _Bool
#define BRAVIK_GLIBC_CPU_FEATURES 1
#endif
#endif

#if !defined(BRAVIK_SCALAR_ONLY) && defined(__aarch64__) && defined(__ARM_NEON)
#define BRAVIK_NEON_KERNELS 1
#include <arm_neon.h>
#endif

namespace {

// The reference kernel; every vector kernel hands its tail to it.
void ConvertRowScalar(const uint8_t* input, uint8_t* output, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    const unsigned blue = input[0];
    const unsigned green = input[1];
    const unsigned red = input[2];
    const unsigned word =
        ((red >> 3) << 11) | ((green >> 2) << 5) | (blue >> 3);
    output[0] = static_cast<uint8_t>(word);
    output[1] = static_cast<uint8_t>(word >> 8);
    input += 3;
    output += 2;
  }
}

#ifdef BRAVIK_X86_KERNELS

// Eight pixels per 256-bit register: each 128-bit lane takes four pixels (12
// bytes) and widens them to 32-bit lanes holding blue | green << 8 | red << 16,
// from which the three fields are cut with one shift and one mask each.
__attribute__((target("avx2"))) __m256i PackEightPixels(const uint8_t* input) {
  const __m256i spread =
      _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                       0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  // Each load is 16 bytes of which 12 are used; the caller guarantees the
  // four bytes past them still lie inside the row.
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(input));
  const __m128i high =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(input + 12));
  const __m256i pixels = _mm256_shuffle_epi8(
      _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1), spread);
  const __m256i red =
      _mm256_and_si256(_mm256_srli_epi32(pixels, 8), _mm256_set1_epi32(0xF800));
  const __m256i green =
      _mm256_and_si256(_mm256_srli_epi32(pixels, 5), _mm256_set1_epi32(0x07E0));
  const __m256i blue =
      _mm256_and_si256(_mm256_srli_epi32(pixels, 3), _mm256_set1_epi32(0x001F));
  return _mm256_or_si256(_mm256_or_si256(red, green), blue);
}

__attribute__((target("avx2"))) void ConvertRowAvx2(const uint8_t* input,
                                                    uint8_t* output,
                                                    int32_t count) {
  int32_t done = 0;
  // Sixteen pixels are 48 bytes, but the last load reads bytes 36 to 51:
  // stop while fewer than 18 pixels (54 bytes) remain, so no load passes the
  // end of the row.
  for (; count - done >= 18; done += 16) {
    const uint8_t* in = input + static_cast<intptr_t>(done) * 3;
    const __m256i first = PackEightPixels(in);
    const __m256i second = PackEightPixels(in + 24);
    // packus interleaves per 128-bit lane: pixels 0-3, 8-11, 4-7, 12-15.
    const __m256i words =
        _mm256_permute4x64_epi64(_mm256_packus_epi32(first, second), 0xD8);
    _mm256_storeu_si256(
        reinterpret_cast<__m256i*>(output + static_cast<intptr_t>(done) * 2),
        words);
  }
  ConvertRowScalar(input + static_cast<intptr_t>(done) * 3,
                   output + static_cast<intptr_t>(done) * 2, count - done);
}

constexpr std::array<uint8_t, 64> ShiftIndices(const uint8_t (&indices)[64],
                                               uint8_t by) {
  std::array<uint8_t, 64> shifted{};
  for (size_t i = 0; i < shifted.size(); ++i) {
    shifted[i] = static_cast<uint8_t>(indices[i] + by);
  }
  return shifted;
}

// Thirty-two pixels from the 96 bytes `front` (64) then `back` (32 or more)
// with cross-lane byte permutes: one gathers green | red << 8 into each
// 16-bit lane, another blue alone.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline __m512i
PackThirtyTwoPixels(__m512i front, __m512i back, __m512i green_red_index,
                    __m512i blue_index) {
  const __mmask64 even_bytes = 0x5555555555555555ULL;
  const __m512i green_red =
      _mm512_permutex2var_epi8(front, green_red_index, back);
  const __m512i blue =
      _mm512_maskz_permutex2var_epi8(even_bytes, front, blue_index, back);
  return _mm512_or_si512(
      _mm512_or_si512(
          _mm512_and_si512(green_red,
                           _mm512_set1_epi16(static_cast<int16_t>(0xF800))),
          _mm512_slli_epi16(
              _mm512_and_si512(green_red, _mm512_set1_epi16(0x00FC)), 3)),
      _mm512_srli_epi16(blue, 3));
}

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void ConvertRowAvx512(
    const uint8_t* input, uint8_t* output, int32_t count) {
  alignas(64) static constexpr uint8_t kGreenRed[64] = {
      1,  2,  4,  5,  7,  8,  10, 11, 13, 14, 16, 17, 19, 20, 22, 23,
      25, 26, 28, 29, 31, 32, 34, 35, 37, 38, 40, 41, 43, 44, 46, 47,
      49, 50, 52, 53, 55, 56, 58, 59, 61, 62, 64, 65, 67, 68, 70, 71,
      73, 74, 76, 77, 79, 80, 82, 83, 85, 86, 88, 89, 91, 92, 94, 95};
  alignas(64) static constexpr uint8_t kBlue[64] = {
      0,  0, 3,  0, 6,  0, 9,  0, 12, 0, 15, 0, 18, 0, 21, 0,
      24, 0, 27, 0, 30, 0, 33, 0, 36, 0, 39, 0, 42, 0, 45, 0,
      48, 0, 51, 0, 54, 0, 57, 0, 60, 0, 63, 0, 66, 0, 69, 0,
      72, 0, 75, 0, 78, 0, 81, 0, 84, 0, 87, 0, 90, 0, 93, 0};
  const __m512i green_red_index = _mm512_load_si512(kGreenRed);
  const __m512i blue_index = _mm512_load_si512(kBlue);
  // The second half of a 64-pixel step starts 32 bytes into the middle load.
  alignas(64) static constexpr std::array<uint8_t, 64> kGreenRed2 =
      ShiftIndices(kGreenRed, 32);
  alignas(64) static constexpr std::array<uint8_t, 64> kBlue2 =
      ShiftIndices(kBlue, 32);
  const __m512i green_red_index_2 = _mm512_load_si512(kGreenRed2.data());
  const __m512i blue_index_2 = _mm512_load_si512(kBlue2.data());
  int32_t done = 0;
  // Sixty-four pixels are exactly three full loads. Pictures just read from
  // a file are seldom in the nearest cache, and whole loads keep more of
  // them in flight than the masked load of the 32-pixel step.
  for (; count - done >= 64; done += 64) {
    const uint8_t* in = input + static_cast<intptr_t>(done) * 3;
    uint8_t* out = output + static_cast<intptr_t>(done) * 2;
    const __m512i first = _mm512_loadu_si512(in);
    const __m512i middle = _mm512_loadu_si512(in + 64);
    const __m512i last = _mm512_loadu_si512(in + 128);
    _mm512_storeu_si512(
        out, PackThirtyTwoPixels(first, middle, green_red_index, blue_index));
    _mm512_storeu_si512(
        out + 64,
        PackThirtyTwoPixels(middle, last, green_red_index_2, blue_index_2));
  }
  // Exactly 96 bytes are read per step: 64 and then 32.
  for (; count - done >= 32; done += 32) {
    const uint8_t* in = input + static_cast<intptr_t>(done) * 3;
    // Only the low 32 bytes are loaded; the masked-off ones are not touched.
    _mm512_storeu_si512(
        output + static_cast<intptr_t>(done) * 2,
        PackThirtyTwoPixels(_mm512_loadu_si512(in),
                            _mm512_maskz_loadu_epi8(0xFFFFFFFFULL, in + 64),
                            green_red_index, blue_index));
  }
  ConvertRowScalar(input + static_cast<intptr_t>(done) * 3,
                   output + static_cast<intptr_t>(done) * 2, count - done);
}

// "Active" features are those the CPU has and the system saves the
// registers of.
bool CpuHasAvx2() {
#ifdef BRAVIK_GLIBC_CPU_FEATURES
  return CPU_FEATURE_ACTIVE(AVX2);
#else
  return __builtin_cpu_supports("avx2") != 0;
#endif
}

bool CpuHasAvx512() {
#ifdef BRAVIK_GLIBC_CPU_FEATURES
  return CPU_FEATURE_ACTIVE(AVX512F) && CPU_FEATURE_ACTIVE(AVX512BW) &&
         CPU_FEATURE_ACTIVE(AVX512_VBMI);
#else
  return __builtin_cpu_supports("avx512f") != 0 &&
         __builtin_cpu_supports("avx512bw") != 0 &&
         __builtin_cpu_supports("avx512vbmi") != 0;
#endif
}

#endif  // BRAVIK_X86_KERNELS

#ifdef BRAVIK_NEON_KERNELS

// Sixteen pixels from one de-interleaving load, which splits 48 bytes into
// blue, green and red vectors. Each word's two bytes are put together by
// shift-and-insert: the low byte is g4 g3 g2 b7..b3, the high one
// r7..r3 g7 g6 g5. The interleaving store then writes every word low byte
// first, whatever the processor's byte order.
inline uint8x16x2_t PackSixteenPixels(uint8x16x3_t pixels) {
  uint8x16x2_t words;
  words.val[0] = vsriq_n_u8(vshlq_n_u8(pixels.val[1], 3), pixels.val[0], 3);
  words.val[1] = vsriq_n_u8(pixels.val[2], pixels.val[1], 5);
  return words;
}

// The same for eight pixels, in 64-bit registers.
inline uint8x8x2_t PackEightPixels(uint8x8x3_t pixels) {
  uint8x8x2_t words;
  words.val[0] = vsri_n_u8(vshl_n_u8(pixels.val[1], 3), pixels.val[0], 3);
  words.val[1] = vsri_n_u8(pixels.val[2], pixels.val[1], 5);
  return words;
}

void ConvertRowNeon(const uint8_t* input, uint8_t* output, int32_t count) {
  int32_t done = 0;
  // Each load reads exactly the 48 bytes of the sixteen pixels it converts,
  // so a step taken only while its pixels remain stays inside the row. In
  // place, a step's words (two bytes a pixel) cover only its own pixels'
  // bytes, which are loaded by then, never those of a later step.
  for (; count - done >= 32; done += 32) {
    const uint8_t* in = input + static_cast<intptr_t>(done) * 3;
    uint8_t* out = output + static_cast<intptr_t>(done) * 2;
    const uint8x16x3_t first = vld3q_u8(in);
    const uint8x16x3_t second = vld3q_u8(in + 48);
    vst2q_u8(out, PackSixteenPixels(first));
    vst2q_u8(out + 32, PackSixteenPixels(second));
  }
  if (count - done >= 16) {
    vst2q_u8(
        output + static_cast<intptr_t>(done) * 2,
        PackSixteenPixels(vld3q_u8(input + static_cast<intptr_t>(done) * 3)));
    done += 16;
  }
  // One 24-byte load: exactly the eight pixels it converts.
  if (count - done >= 8) {
    vst2_u8(output + static_cast<intptr_t>(done) * 2,
            PackEightPixels(vld3_u8(input + static_cast<intptr_t>(done) * 3)));
    done += 8;
  }
  ConvertRowScalar(input + static_cast<intptr_t>(done) * 3,
                   output + static_cast<intptr_t>(done) * 2, count - done);
}

#endif  // BRAVIK_NEON_KERNELS

bool RunsEverywhere() { return true; }

struct KernelSpec {
  RowKernelEntry entry;
  bool (*runs_here)();
};

// Every kernel this build has, each wider than the one before it.
constexpr KernelSpec kKernels[] = {
    {{"scalar", ConvertRowScalar}, RunsEverywhere},
#ifdef BRAVIK_NEON_KERNELS
    // Advanced SIMD is part of every AArch64 processor.
    {{"neon", ConvertRowNeon}, RunsEverywhere},
#endif
#ifdef BRAVIK_X86_KERNELS
    {{"avx2", ConvertRowAvx2}, CpuHasAvx2},
    {{"avx512", ConvertRowAvx512}, CpuHasAvx512},
#endif
};

struct KernelList {
  std::array<RowKernelEntry, std::size(kKernels)> entries;
  int count;
};

KernelList FindRunnableKernels() {
#if defined(BRAVIK_X86_KERNELS) && !defined(BRAVIK_GLIBC_CPU_FEATURES)
  // The CPU's features are filled in by a static initialiser of the runtime
  // library, which need not have run before ours. Asking twice is harmless:
  // the second call returns at once.
  __builtin_cpu_init();
#endif
  KernelList list{};
  for (const KernelSpec& kernel : kKernels) {
    if (kernel.runs_here()) {
      list.entries[static_cast<size_t>(list.count++)] = kernel.entry;
    }
  }
  return list;
}

// Zero before any code runs, and filled on first use, so that callers in
// other files' static initialisers (a benchmark registering its cases) find
// it complete too. The first use is at the latest chosen_kernel's own
// initialiser, before main, while there is only one thread. (A guarded
// function-local static would pull the C++ runtime library into the tool.)
KernelList runnable_kernels;

const KernelList& RunnableKernels() {
  if (runnable_kernels.count == 0) {
    runnable_kernels = FindRunnableKernels();
  }
  return runnable_kernels;
}

// The last runnable kernel is the widest.
const RowKernelEntry chosen_kernel =
    RunnableKernels().entries[static_cast<size_t>(RunnableKernels().count - 1)];

}  // namespace

void ConvertRow(const uint8_t* input, uint8_t* output, int32_t count) {
  chosen_kernel.convert(input, output, count);
}

int CountRowKernels() { return RunnableKernels().count; }

RowKernelEntry GetRowKernel(int index) {
  const KernelList& list = RunnableKernels();
  if (index < 0 || index >= list.count) {
    return {nullptr, nullptr};
  }
  return list.entries[static_cast<size_t>(index)];
}

const char* ChosenRowKernelName() { return chosen_kernel.name; }
