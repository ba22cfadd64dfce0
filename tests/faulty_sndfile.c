/* A decoder library gone wrong, for the tests: preloaded into quorwind, it
 * makes libsndfile misbehave inside the decoding child as a crafted file
 * might. QUORWIND_TEST_FAULT says how:
 *   hang-open   sf_open_fd never returns;
 *   spin        sf_readf_float spins after a second of frames (at 48 kHz);
 *   allocate    sf_open_fd allocates, and touches, until allocation fails. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sndfile.h>
#include <stdlib.h>
#include <string.h>

typedef SNDFILE* (*OpenFd)(int, int, SF_INFO*, int);
typedef sf_count_t (*ReadFloat)(SNDFILE*, float*, sf_count_t);

static OpenFd real_open;
static ReadFloat real_read;
static const char* fault = "";
static sf_count_t delivered;

/* Resolved at load, before the decoding child's filter. */
__attribute__((constructor)) static void Resolve(void) {
  real_open = (OpenFd)dlsym(RTLD_NEXT, "sf_open_fd");
  real_read = (ReadFloat)dlsym(RTLD_NEXT, "sf_readf_float");
  const char* chosen = getenv("QUORWIND_TEST_FAULT");
  if (chosen) fault = chosen;
}

static void Spin(void) {
  for (volatile unsigned long turns = 0;; ++turns) {
  }
}

SNDFILE* sf_open_fd(int fd, int mode, SF_INFO* info, int close_desc) {
  if (strcmp(fault, "hang-open") == 0) Spin();
  if (strcmp(fault, "allocate") == 0) {
    for (;;) {
      char* block = malloc(1 << 20);
      if (!block) return NULL;
      memset(block, 1, 1 << 20);
    }
  }
  return real_open(fd, mode, info, close_desc);
}

sf_count_t sf_readf_float(SNDFILE* file, float* out, sf_count_t frames) {
  if (strcmp(fault, "spin") == 0 && delivered >= 48000) Spin();
  const sf_count_t got = real_read(file, out, frames);
  if (got > 0) delivered += got;
  return got;
}
