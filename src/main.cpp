// bravik <input file> <output file>: a 24-bit BMP picture to raw RGB565.
#include <cstdio>

#include "convert_bitmap.h"
#include "platform.h"

int main(int argc, char* argv[]) {
  PrepareProcess(&argc, &argv);
  if (argc != 3) {
    std::fputs("syntax: bravik <input file> <output file>\n", stdout);
    return 1;
  }
  std::printf("Input file: %s\n", argv[1]);
  std::printf("Output file: %s\n", argv[2]);
  // Whoever runs the tool sees which files it is working on even while it
  // waits for a FIFO's writer, or if it is killed there.
  std::fflush(stdout);
  // Whatever the converter reports, the run itself went as asked: scripts
  // read the message, not the status.
  ConvertBitmap(argv[1], argv[2]);
  return 0;
}
