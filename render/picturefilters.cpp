#include "render/picturefilters.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "render/pictureedits.h"

namespace {

inline int Clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

// The tables of the brightness-contrast-saturation filter.
struct TBcsTables {
  uint8_t light[256];  // brightness then contrast, per channel value
  int sat[256];        // a channel's saturated part
  int grey[768];       // the grey part by channel sum
};

void MakeBcsTables(int brightness, int contrast, int saturation, TBcsTables& t) {
  const int B = Clamp(brightness, kBrightnessRange.Min, kBrightnessRange.Max);
  int C = Clamp(contrast, kContrastRange.Min, kContrastRange.Max);
  const int S = Clamp(saturation, kSaturationRange.Min, kSaturationRange.Max);
  if (C == 100) C = 99;

  const double k = C > 0 ? 1.0 / std::cos(C * M_PI / 200.0) : std::cos(C * 0.015708);
  int contrastTable[256];
  for (int i = 0; i < 256; ++i) contrastTable[i] = Clamp(int(std::nearbyint((i - 170) * k + 170)), 0, 255);
  for (int j = 0; j < 256; ++j) {
    int n = B * (j - 1) + 256;
    t.light[j] = uint8_t(contrastTable[Clamp(n / 256, 0, 255)]);
  }
  for (int i = 0; i < 256; ++i) t.sat[i] = ((i + 1) * S) >> 8;
  for (int s = 0; s < 768; ++s) t.grey[s] = s / 3 - t.sat[s / 3];
}

void MakeExposureTable(int exposure, uint8_t table[256]) {
  const double E = Clamp(exposure, kExposureRange.Min, kExposureRange.Max);
  for (int i = 0; i < 256; ++i) {
    const int64_t v = std::llrint(256.0 * (1.0 - std::exp(-(E / 128.0) * (i / 128.0))));
    const int64_t p = i + v * (255 - i) / 256;
    table[i] = uint8_t(p < 0 ? 0 : p > 255 ? 255 : p);
  }
}

void ApplyTableScalar(uint8_t* p, size_t n, const uint8_t table[256]) {
  for (size_t x = 0; x < n; ++x) p[x] = table[p[x]];
}

#if defined(__x86_64__) && defined(__GNUC__)
// 64 bytes at a time: the table's four quarters sit in four registers; two two-register byte
// permutations look up the low and the high half and the top bit of each byte picks one.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void ApplyTableVbmi(uint8_t* p, size_t n,
                                                                           const uint8_t table[256]) {
  const __m512i t0 = _mm512_loadu_si512(table), t1 = _mm512_loadu_si512(table + 64);
  const __m512i t2 = _mm512_loadu_si512(table + 128), t3 = _mm512_loadu_si512(table + 192);
  size_t x = 0;
  for (; x + 64 <= n; x += 64) {
    const __m512i v = _mm512_loadu_si512(p + x);
    const __m512i low = _mm512_permutex2var_epi8(t0, v, t1);
    const __m512i high = _mm512_permutex2var_epi8(t2, v, t3);
    _mm512_storeu_si512(p + x, _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), low, high));
  }
  ApplyTableScalar(p + x, n - x, table);
}

bool HasVbmi() {
  static const bool has = __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw");
  return has;
}
#endif

void ApplyByteTable(TBitmap24& bitmap, const uint8_t table[256]) {
  const size_t rowBytes = size_t(bitmap.Width) * 3;
  // Rows without padding are one run of bytes.
  const bool tight = size_t(bitmap.Stride) == rowBytes;
  const int runs = tight ? 1 : bitmap.Height;
  const size_t runBytes = tight ? rowBytes * size_t(bitmap.Height) : rowBytes;
  for (int y = 0; y < runs; ++y) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (HasVbmi()) {
      ApplyTableVbmi(bitmap.Row(y), runBytes, table);
      continue;
    }
#endif
    ApplyTableScalar(bitmap.Row(y), runBytes, table);
  }
}

}  // namespace

void BrightnessContrastSaturation(TBitmap24& bitmap, int brightness, int contrast, int saturation) {
  TBcsTables t;
  MakeBcsTables(brightness, contrast, saturation, t);
  for (int y = 0; y < bitmap.Height; ++y) {
    uint8_t* p = bitmap.Row(y);
    for (int x = 0; x < bitmap.Width; ++x, p += 3) {
      const int g = t.grey[p[0] + p[1] + p[2]];
      p[0] = t.light[Clamp(g + t.sat[p[0]], 0, 255)];
      p[1] = t.light[Clamp(g + t.sat[p[1]], 0, 255)];
      p[2] = t.light[Clamp(g + t.sat[p[2]], 0, 255)];
    }
  }
}

void ExposureFilter(TBitmap24& bitmap, int exposure) {
  uint8_t table[256];
  MakeExposureTable(exposure, table);
  ApplyByteTable(bitmap, table);
}

TPictureAdjustment::TPictureAdjustment(int brightness, int contrast, int saturation, int exposure) {
  const bool bcs = brightness != kBrightnessRange.None || contrast != kContrastRange.None ||
                   saturation != kSaturationRange.None;
  const bool exposed = exposure != kExposureRange.None;
  for (int i = 0; i < 256; ++i) byteTable_[i] = uint8_t(i);
  if (exposed) MakeExposureTable(exposure, byteTable_);
  if (!bcs) {
    kind_ = exposed ? kPerByte : kIdentity;
    return;
  }
  TBcsTables t;
  MakeBcsTables(brightness, contrast, saturation, t);
  // When the saturated part is the value plus a constant d, the grey part is -d for every
  // sum, and each channel comes out as light[value]: a lookup per byte.
  const int d = t.sat[0];
  bool perByte = true;
  for (int i = 0; i < 256; ++i) perByte &= t.sat[i] - i == d;
  if (perByte) {
    uint8_t combined[256];
    for (int i = 0; i < 256; ++i) combined[i] = byteTable_[t.light[i]];
    std::copy(combined, combined + 256, byteTable_);
    kind_ = kPerByte;
    return;
  }
  kind_ = kPerPixel;
  int lo = 0, hi = 0;
  grey_.resize(768);
  for (int s = 0; s < 768; ++s) grey_[size_t(s)] = int16_t(t.grey[s]);
  const auto [gMin, gMax] = std::minmax_element(t.grey, t.grey + 768);
  const auto [sMin, sMax] = std::minmax_element(t.sat, t.sat + 256);
  lo = *gMin + *sMin;
  hi = *gMax + *sMax;
  for (int i = 0; i < 256; ++i) sat_[i] = int16_t(t.sat[i]);
  lightOffset_ = -lo;
  light_.resize(size_t(hi - lo + 1));
  for (int v = lo; v <= hi; ++v) light_[size_t(v - lo)] = byteTable_[t.light[Clamp(v, 0, 255)]];  // exposure folded in
}

void TPictureAdjustment::Apply(TBitmap24& bitmap) const {
  switch (kind_) {
    case kIdentity:
      return;
    case kPerByte:
      ApplyByteTable(bitmap, byteTable_);
      return;
    case kPerPixel:
      break;
  }
  const int16_t* grey = grey_.data();
  const uint8_t* light = light_.data() + lightOffset_;
  for (int y = 0; y < bitmap.Height; ++y) {
    uint8_t* p = bitmap.Row(y);
    for (int x = 0; x < bitmap.Width; ++x, p += 3) {
      const int g = grey[p[0] + p[1] + p[2]];
      p[0] = light[g + sat_[p[0]]];
      p[1] = light[g + sat_[p[1]]];
      p[2] = light[g + sat_[p[2]]];
    }
  }
}
