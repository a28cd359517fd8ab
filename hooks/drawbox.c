/* Example frame-hook module: draws a filled box into every picture.
 *
 * Words: module x y w h [Y U V]
 *   x, y   top-left corner in pixels (may lie outside the picture; the box is clipped)
 *   w, h   size in pixels, at least 1
 *   Y U V  the colour as 8-bit luma and chroma values (default 235 128 128, white)
 * Pictures in planar YUV 4:2:0 (limited or full range) get the colour as given; 24-bit BGR
 * pictures get it converted with the BT.601 limited-range matrix. Other pixel formats pass
 * through unchanged. Configure refuses any other number of words, words that are not whole
 * decimal numbers, an empty box and colour values outside 0..255. */
#define ORVANE_FRAMEHOOK_MODULE
#include "media/framehook_api.h"

#include <errno.h>
#include <libavutil/pixfmt.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

typedef struct DrawBox {
  int x, y, w, h;
  int yuv[3];
  uint8_t bgr[3];
} DrawBox;

/* A whole decimal number in int range, nothing before or after it. */
static int ParseInt(const char* text, int* value) {
  char* end = NULL;
  long v;
  if (!text || !*text) return 0;
  errno = 0;
  v = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || end == text || v < -2147483647L - 1 || v > 2147483647L) return 0;
  *value = (int)v;
  return 1;
}

static uint8_t Clip8(int v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

int Configure(void** ctx, int argc, char* argv[]) {
  DrawBox box;
  int i;
  if (!ctx || (argc != 5 && argc != 8) || !argv) return 1;
  memset(&box, 0, sizeof box);
  if (!ParseInt(argv[1], &box.x) || !ParseInt(argv[2], &box.y) || !ParseInt(argv[3], &box.w) ||
      !ParseInt(argv[4], &box.h))
    return 1;
  if (box.w <= 0 || box.h <= 0) return 1;
  box.yuv[0] = 235;
  box.yuv[1] = 128;
  box.yuv[2] = 128;
  if (argc == 8) {
    for (i = 0; i < 3; i++)
      if (!ParseInt(argv[5 + i], &box.yuv[i]) || box.yuv[i] < 0 || box.yuv[i] > 255) return 1;
  }
  {
    int c = box.yuv[0] - 16, d = box.yuv[1] - 128, e = box.yuv[2] - 128;
    box.bgr[0] = Clip8((298 * c + 516 * d + 128) / 256);
    box.bgr[1] = Clip8((298 * c - 100 * d - 208 * e + 128) / 256);
    box.bgr[2] = Clip8((298 * c + 409 * e + 128) / 256);
  }
  *ctx = malloc(sizeof box);
  if (!*ctx) return 1;
  memcpy(*ctx, &box, sizeof box);
  return 0;
}

/* Clips [start, start + size) to [0, limit); 0 when nothing is left. */
static int ClipRange(int start, int size, int limit, int* from, int* to) {
  int64_t a = start, b = (int64_t)start + size;
  if (a < 0) a = 0;
  if (b > limit) b = limit;
  if (a >= b) return 0;
  *from = (int)a;
  *to = (int)b;
  return 1;
}

void Process(void* ctx, TFrameHookPicture* pict, int pix_fmt, int width, int height, int64_t pts) {
  const DrawBox* box = (const DrawBox*)ctx;
  int x0, x1, y0, y1, x, y, p;
  (void)pts;
  if (!box || !pict || width <= 0 || height <= 0) return;
  if (!ClipRange(box->x, box->w, width, &x0, &x1) || !ClipRange(box->y, box->h, height, &y0, &y1)) return;

  if (pix_fmt == AV_PIX_FMT_YUV420P || pix_fmt == AV_PIX_FMT_YUVJ420P) {
    for (p = 0; p < 3; p++)
      if (!pict->data[p]) return;
    for (y = y0; y < y1; y++) memset(pict->data[0] + (ptrdiff_t)y * pict->linesize[0] + x0, box->yuv[0], x1 - x0);
    /* A chroma sample covers a 2x2 block of luma samples: every block the box touches. */
    for (p = 1; p < 3; p++)
      for (y = y0 / 2; y < (y1 + 1) / 2; y++)
        memset(pict->data[p] + (ptrdiff_t)y * pict->linesize[p] + x0 / 2, box->yuv[p], (x1 + 1) / 2 - x0 / 2);
  } else if (pix_fmt == AV_PIX_FMT_BGR24) {
    if (!pict->data[0]) return;
    for (y = y0; y < y1; y++) {
      uint8_t* row = pict->data[0] + (ptrdiff_t)y * pict->linesize[0];
      for (x = x0; x < x1; x++) memcpy(row + 3 * x, box->bgr, 3);
    }
  }
}

void Release(void* ctx) { free(ctx); }
