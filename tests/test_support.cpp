#include "test_support.h"

// What every system shares: the bitmaps, the reference pack, files and
// scratch directories, and the converter called in-process. Starting the
// tool is in test_support_posix.cpp and test_support_windows.cpp.
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
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

}  // namespace

std::filesystem::path FsPath(const std::string& utf8) {
  return {reinterpret_cast<const char8_t*>(utf8.c_str())};
}

std::string ReadText(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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

BitmapLayout WithTrailer(BitmapLayout layout, uint32_t trailer) {
  layout.trailer = trailer;
  return layout;
}

BitmapLayout WithBitCount(BitmapLayout layout, uint16_t bit_count) {
  layout.bit_count = bit_count;
  return layout;
}

BitmapLayout WithCompression(BitmapLayout layout, uint32_t compression) {
  layout.compression = compression;
  return layout;
}

BitmapLayout WithMasks(BitmapLayout layout, uint32_t red, uint32_t green,
                       uint32_t blue) {
  layout.compression = 3;
  layout.masks[0] = red;
  layout.masks[1] = green;
  layout.masks[2] = blue;
  return layout;
}

BitmapLayout TopDown(BitmapLayout layout) {
  layout.height = -layout.height;
  return layout;
}

BitmapLayout WithoutLastPadding(BitmapLayout layout) {
  layout.drop_last_padding = true;
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

ToolRun RunTool(const std::vector<std::string>& args,
                const ToolOptions& options) {
  StartedTool tool = StartTool(args, options);
  return WaitForTool(&tool);
}

std::string PrintedSoFar(const StartedTool& tool) {
  return ReadText(tool.scratch + "/stdout");
}

Captured ConvertInProcess(const std::string& input, const std::string& output,
                          const std::string& scratch) {
#ifndef O_BINARY
  constexpr int O_BINARY = 0;  // POSIX files have no text mode
#endif
  const std::string out_path = scratch + "/stdout";
  const std::string err_path = scratch + "/stderr";
  std::fflush(stdout);
  std::fflush(stderr);
  const int saved_out = dup(1);
  const int saved_err = dup(2);
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_BINARY;
  const int out_fd = open(out_path.c_str(), flags, 0644);
  const int err_fd = open(err_path.c_str(), flags, 0644);
  dup2(out_fd, 1);
  dup2(err_fd, 2);
  close(out_fd);
  close(err_fd);

  ConvertBitmap(input.c_str(), output.c_str());

  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  Captured printed{ReadText(out_path), ReadText(err_path)};
  RemoveTree(out_path);
  RemoveTree(err_path);
  return printed;
}

std::string MakeScratchDir() {
  std::random_device entropy;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path dir =
        base / ("bravik-test-" + std::to_string(entropy()));
    std::error_code error;
    if (std::filesystem::create_directory(dir, error)) {
      const std::u8string name = dir.u8string();
      return {name.begin(), name.end()};
    }
  }
  throw std::runtime_error("cannot make a scratch directory");
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(FsPath(path), ignored);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::symlink_status(FsPath(path), error).type() !=
         std::filesystem::file_type::not_found;
}
