/* A decoder library gone wrong, for the tests: preloaded into quorwind, it
 * makes libsndfile misbehave inside the decoding child as a crafted file
 * might. QUORWIND_TEST_FAULT says how:
 *   hang-open   opening (sf_open_fd or sf_open_virtual) never returns;
 *   spin        sf_readf_float spins after a second of frames (at 48 kHz);
 *   allocate    opening allocates, and touches, until allocation fails. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sndfile.h>
#include <stdlib.h>
#include <string.h>

typedef SNDFILE* (*OpenFd)(int, int, SF_INFO*, int);
typedef SNDFILE* (*OpenVirtual)(SF_VIRTUAL_IO*, int, SF_INFO*, void*);
typedef sf_count_t (*ReadFloat)(SNDFILE*, float*, sf_count_t);

static OpenFd real_open;
static OpenVirtual real_open_virtual;
static ReadFloat real_read;
static const char* fault = "";
static sf_count_t delivered;

/* Resolved at load, before the decoding child's filter. The player loads
 * libsndfile only later, with its media-control module, so it is loaded
 * here: the functions are looked up in it, not among what is loaded yet. */
__attribute__((constructor)) static void Resolve(void) {
  void* sndfile = dlopen("libsndfile.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!sndfile) abort();
  real_open = (OpenFd)dlsym(sndfile, "sf_open_fd");
  real_open_virtual = (OpenVirtual)dlsym(sndfile, "sf_open_virtual");
  real_read = (ReadFloat)dlsym(sndfile, "sf_readf_float");
  if (!real_open || !real_open_virtual || !real_read) abort();
  const char* chosen = getenv("QUORWIND_TEST_FAULT");
  if (chosen) fault = chosen;
}

static void Spin(void) {
  for (volatile unsigned long turns = 0;; ++turns) {
  }
}

/* The open's fault; false when it fails the open. */
static int OpenFault(void) {
  if (strcmp(fault, "hang-open") == 0) Spin();
  if (strcmp(fault, "allocate") == 0) {
    for (;;) {
      char* block = malloc(1 << 20);
      if (!block) return 0;
      memset(block, 1, 1 << 20);
    }
  }
  return 1;
}

SNDFILE* sf_open_fd(int fd, int mode, SF_INFO* info, int close_desc) {
  return OpenFault() ? real_open(fd, mode, info, close_desc) : NULL;
}

SNDFILE* sf_open_virtual(SF_VIRTUAL_IO* io, int mode, SF_INFO* info, void* user_data) {
  return OpenFault() ? real_open_virtual(io, mode, info, user_data) : NULL;
}

sf_count_t sf_readf_float(SNDFILE* file, float* out, sf_count_t frames) {
  if (strcmp(fault, "spin") == 0 && delivered >= 48000) Spin();
  const sf_count_t got = real_read(file, out, frames);
  if (got > 0) delivered += got;
  return got;
}
