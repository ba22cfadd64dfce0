// Fuzz target: any bytes survive the trip through wide text unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  if (quorwind::Utf8FromWide(quorwind::WideFromUtf8(bytes)) != bytes) std::abort();
  return 0;
}
