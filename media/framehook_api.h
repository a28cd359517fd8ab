/* The interface between the converter and an external frame-hook module.
 *
 * A module is a shared library that exports three functions by these exact names with C
 * linkage. The converter loads it, calls Configure once per use with the words of the
 * option that named it (argv[0] is the module file itself), calls Process on every decoded
 * picture so that the module can change the picture in place, and calls Release when the
 * conversion task ends. This header is plain C and needs no codec library headers; the
 * pixel format is the codec library's pixel format number (0 is planar YUV 4:2:0, 3 is
 * packed 24-bit BGR). */
#ifndef ORVANE_FRAMEHOOK_API_H
#define ORVANE_FRAMEHOOK_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The planes of one picture and the bytes per row of each; unused planes are null. */
typedef struct TFrameHookPicture {
  uint8_t* data[4];
  int linesize[4];
} TFrameHookPicture;

/* Sets *ctx to the module's own state for this use; returns 0 on success, anything else
 * refuses the arguments. */
typedef int (*TFrameHookConfigureFn)(void** ctx, int argc, char* argv[]);
/* Changes the picture in place; pts is the picture's time in microseconds. */
typedef void (*TFrameHookProcessFn)(void* ctx, TFrameHookPicture* pict, int pix_fmt, int width, int height,
                                    int64_t pts);
/* Frees the state Configure made (ctx may be null when Configure was not exported). */
typedef void (*TFrameHookReleaseFn)(void* ctx);

/* The declarations a module implements: a module defines ORVANE_FRAMEHOOK_MODULE before
 * including this header so that the compiler checks its definitions against them. The
 * converter itself never declares these global names. */
#ifdef ORVANE_FRAMEHOOK_MODULE
int Configure(void** ctx, int argc, char* argv[]);
void Process(void* ctx, TFrameHookPicture* pict, int pix_fmt, int width, int height, int64_t pts);
void Release(void* ctx);
#endif

#ifdef __cplusplus
}
#endif

#endif /* ORVANE_FRAMEHOOK_API_H */
