// Writes test-pattern pictures 0...N-1 as raw BGRA to a file, the input the ffmpeg command line
// is given when its encoding speed is compared with ours.
//   lumenbrook-pattern-frames WIDTH HEIGHT COUNT FILE

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "core/video/test_pattern.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: lumenbrook-pattern-frames WIDTH HEIGHT COUNT FILE\n";
    return 2;
  }
  const int width = std::atoi(argv[1]);
  const int height = std::atoi(argv[2]);
  const int count = std::atoi(argv[3]);
  std::ofstream out(argv[4], std::ios::binary | std::ios::trunc);
  if (!out || count <= 0) {
    std::cerr << "can't write " << argv[4] << "\n";
    return 1;
  }
  for (int n = 0; n < count; ++n) {
    auto frame = lumenbrook::TestPattern::pixelBuffer(width, height, static_cast<std::uint64_t>(n));
    if (!frame) {
      std::cerr << "no picture of " << width << "x" << height << "\n";
      return 1;
    }
    out.write(reinterpret_cast<const char*>(frame->pixels->data()),
              static_cast<std::streamsize>(frame->pixels->size()));
  }
  out.close();
  if (!out) {
    std::cerr << "can't write " << argv[4] << "\n";
    return 1;
  }
  return 0;
}
