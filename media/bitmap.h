// A 24-bit BGR bitmap: three bytes per pixel (blue, green, red), rows padded to 4 bytes,
// first row at the top. The engine hands pictures to hooks and previews in this form; the
// desktop program wraps it in a QImage (Format_BGR888) without copying.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct TBitmap24 {
  int Width = 0;
  int Height = 0;
  int Stride = 0;  // bytes per row: Width * 3 rounded up to a multiple of 4
  std::vector<uint8_t> Pixels;

  static int RowSize(int width) { return (width * 3 + 3) & ~3; }
  void SetSize(int width, int height) {
    if (width == Width && height == Height && !Pixels.empty()) return;
    Width = width < 0 ? 0 : width;
    Height = height < 0 ? 0 : height;
    Stride = RowSize(Width);
    Pixels.assign(size_t(Stride) * size_t(Height), 0);
  }
  uint8_t* Row(int y) { return Pixels.data() + size_t(y) * size_t(Stride); }
  const uint8_t* Row(int y) const { return Pixels.data() + size_t(y) * size_t(Stride); }
  bool Empty() const { return Width <= 0 || Height <= 0; }
};
