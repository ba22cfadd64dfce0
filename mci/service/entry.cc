// The exported entry: one service for the whole process.
#include "mci/mci.h"
#include "mci/service/service.h"

extern "C" std::uint32_t mciSendStringA(const char* command, char* reply,
                                        std::uint32_t reply_capacity, std::uintptr_t) {
  static quorwind::mci::MciService service;
  if (!command) return quorwind::mci::kMissingCommandString;
  try {
    return service.Execute(command, reply, reply_capacity);
  } catch (const std::bad_alloc&) {
    return quorwind::mci::kOutOfMemory;
  } catch (...) {
    return quorwind::mci::kInternal;
  }
}
