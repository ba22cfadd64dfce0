// Times the length query of the media-control module: open and
// "status ... length" on one file, as quorwind sends them, then close.
//
//   length_query MODULE FILE   prints "MILLISECONDS_TAKEN REPLY"
#include <dlfcn.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "mci/mci.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  void* module = dlopen(argv[1], RTLD_NOW);
  if (!module) return 1;
  const auto send = reinterpret_cast<quorwind::mci::MciSendString>(dlsym(module, "mciSendStringA"));
  if (!send) return 1;
  const std::string path = argv[2];
  char none[1] = {};
  char reply[20] = {};
  const auto start = std::chrono::steady_clock::now();
  send(("open \"" + path + "\"").c_str(), none, 0, 0);
  send(("status \"" + path + "\" length").c_str(), reply, sizeof reply, 0);
  const auto end = std::chrono::steady_clock::now();
  send(("close \"" + path + "\"").c_str(), none, 0, 0);
  std::printf("%.3f %s\n", std::chrono::duration<double, std::milli>(end - start).count(), reply);
  return 0;
}
