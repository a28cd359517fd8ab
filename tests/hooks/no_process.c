/* A broken frame-hook module: it can be configured and released but has no Process. */
#include <stdint.h>
#include <stdlib.h>

int Configure(void** ctx, int argc, char* argv[]) {
  (void)argc;
  (void)argv;
  *ctx = malloc(1);
  return *ctx ? 0 : 1;
}

void Release(void* ctx) { free(ctx); }
