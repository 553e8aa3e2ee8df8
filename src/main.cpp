// bravik <input file> <output file>: a 24-bit BMP picture to raw RGB565.
#include <cstdio>

#include "convert_bitmap.h"

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fputs("syntax: bravik <input file> <output file>\n", stdout);
    return 1;
  }
  std::printf("Input file: %s\n", argv[1]);
  std::printf("Output file: %s\n", argv[2]);
  // Whatever the converter reports, the run itself went as asked: scripts
  // read the message, not the status.
  ConvertBitmap(argv[1], argv[2]);
  return 0;
}
