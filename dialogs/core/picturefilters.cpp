#include "dialogs/core/picturefilters.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {
inline int Clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }
}  // namespace

void BrightnessContrastSaturation(TBitmap24& bitmap, int brightness, int contrast, int saturation) {
  const int B = Clamp(brightness, 0, 512);
  int C = Clamp(contrast, -100, 100);
  const int S = Clamp(saturation, 0, 512);
  if (C == 100) C = 99;

  const double k = C > 0 ? 1.0 / std::cos(C * M_PI / 200.0) : std::cos(C * 0.015708);
  int contrastTable[256];
  for (int i = 0; i < 256; ++i)
    contrastTable[i] = Clamp(int(std::nearbyint((i - 170) * k + 170)), 0, 255);

  uint8_t light[256];
  for (int j = 0; j < 256; ++j) {
    int n = B * (j - 1) + 256;
    light[j] = uint8_t(contrastTable[Clamp(n / 256, 0, 255)]);
  }

  int sat[256];
  for (int i = 0; i < 256; ++i) sat[i] = ((i + 1) * S) >> 8;
  int grey[768];
  for (int s = 0; s < 768; ++s) grey[s] = s / 3 - sat[s / 3];

  for (int y = 0; y < bitmap.Height; ++y) {
    uint8_t* p = bitmap.Row(y);
    for (int x = 0; x < bitmap.Width; ++x, p += 3) {
      const int g = grey[p[0] + p[1] + p[2]];
      p[0] = light[Clamp(g + sat[p[0]], 0, 255)];
      p[1] = light[Clamp(g + sat[p[1]], 0, 255)];
      p[2] = light[Clamp(g + sat[p[2]], 0, 255)];
    }
  }
}

void ExposureFilter(TBitmap24& bitmap, int exposure) {
  const double E = Clamp(exposure, -255, 512);
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) {
    const int64_t v = std::llrint(256.0 * (1.0 - std::exp(-(E / 128.0) * (i / 128.0))));
    const int64_t p = i + v * (255 - i) / 256;
    table[i] = uint8_t(p < 0 ? 0 : p > 255 ? 255 : p);
  }
  for (int y = 0; y < bitmap.Height; ++y) {
    uint8_t* p = bitmap.Row(y);
    for (int x = 0; x < bitmap.Width * 3; ++x) p[x] = table[p[x]];
  }
}
