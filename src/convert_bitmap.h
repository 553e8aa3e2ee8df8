// The converter: one 24-bit BMP file in, one raw RGB565 file out.
#ifndef BRAVIK_CONVERT_BITMAP_H_
#define BRAVIK_CONVERT_BITMAP_H_

// Converts the BMP at `input_path` into headerless RGB565 words (top row
// first, no filler) at `output_path`, and prints the outcome as one message on
// standard output: the success line, or the reason for the refusal. Nothing is
// returned; a refused picture leaves the output file empty.
void ConvertBitmap(const char* input_path, const char* output_path);

#endif  // BRAVIK_CONVERT_BITMAP_H_
