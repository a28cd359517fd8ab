/* A frame-hook module that makes its instances observable. Words: module tag, with tag a
 * number 1..255. Process writes the instance's tag into the first byte of the first plane;
 * Release appends the tag of the released instance to tagged_released. */
#define ORVANE_FRAMEHOOK_MODULE
#include "media/framehook_api.h"

#include <stdlib.h>

int tagged_released[16];
int tagged_released_count;

int Configure(void** ctx, int argc, char* argv[]) {
  char* end = NULL;
  long tag;
  int* state;
  if (argc != 2) return 1;
  tag = strtol(argv[1], &end, 10);
  if (*end != '\0' || tag < 1 || tag > 255) return 1;
  state = (int*)malloc(sizeof *state);
  if (!state) return 1;
  *state = (int)tag;
  *ctx = state;
  return 0;
}

void Process(void* ctx, TFrameHookPicture* pict, int pix_fmt, int width, int height, int64_t pts) {
  (void)pix_fmt;
  (void)pts;
  if (ctx && pict && pict->data[0] && width > 0 && height > 0) pict->data[0][0] = (uint8_t) * (int*)ctx;
}

void Release(void* ctx) {
  if (ctx && tagged_released_count < 16) tagged_released[tagged_released_count++] = *(int*)ctx;
  free(ctx);
}
