/* A frame-hook module with Process only: it takes no arguments and has no state. Process
 * writes 0x5A into the first byte of the first plane. */
#define ORVANE_FRAMEHOOK_MODULE
#include "media/framehook_api.h"

void Process(void* ctx, TFrameHookPicture* pict, int pix_fmt, int width, int height, int64_t pts) {
  (void)ctx;
  (void)pix_fmt;
  (void)pts;
  if (pict && pict->data[0] && width > 0 && height > 0) pict->data[0][0] = 0x5A;
}
