// Media paths opened as regular files, or read through into memory files.
#include "mci/decoders/media_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace quorwind::mci {

namespace {

constexpr std::uint64_t kLargestInput = std::uint64_t{1} << 30;
constexpr std::size_t kReadBlock = 64 * 1024;
/// Bytes a device's start is judged by.
constexpr std::size_t kSignatureBytes = 64;

/// Waits until |fd| has bytes or ends; false after |patience| of nothing.
bool WaitForBytes(int fd, std::chrono::milliseconds patience) {
  pollfd ready{fd, POLLIN, 0};
  for (;;) {
    const int got = poll(&ready, 1, static_cast<int>(patience.count()));
    if (got > 0) return true;
    if (got == 0 || errno != EINTR) return false;
  }
}

/// Reads |fd| (non-blocking) to its end into |memory|; false where it ends
/// empty, passes |bounds| or fails, or, with |check_head|, where its first
/// bytes are no media file's.
bool ReadThrough(int fd, int memory, const InputBounds& bounds, bool check_head) {
  std::vector<unsigned char> block(kReadBlock);
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t wanted = check_head && total == 0 ? kSignatureBytes : block.size();
    const ssize_t got = read(fd, block.data(), wanted);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitForBytes(fd, bounds.patience)) return false;
      continue;
    }
    if (got < 0) return false;
    if (got == 0) return total > 0;
    if (check_head && total == 0 && !StartsAsMedia(block.data(), static_cast<std::size_t>(got))) {
      return false;
    }
    total += static_cast<std::uint64_t>(got);
    if (total > bounds.largest_bytes) return false;
    for (ssize_t done = 0; done < got;) {
      const ssize_t wrote =
          write(memory, block.data() + done, static_cast<std::size_t>(got - done));
      if (wrote <= 0) return false;
      done += wrote;
    }
  }
}

}  // namespace

std::uint64_t InputBounds::DefaultLargestInput() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return kLargestInput;
  return std::min(kLargestInput,
                  static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page) / 4);
}

MciError OpenMediaInput(const std::string& path, UniqueFd& fd, const InputBounds& bounds) {
  // Opened once and checked on the descriptor itself, so that a FIFO or a
  // device never blocks the caller and the file checked is the file decoded.
  UniqueFd opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (opened.get() < 0) return errno == ENOENT || errno == ENOTDIR ? kFileNotFound : kInvalidFile;
  struct stat status {};
  if (fstat(opened.get(), &status) != 0) return kInvalidFile;
  if (S_ISREG(status.st_mode)) {
    fcntl(opened.get(), F_SETFL, fcntl(opened.get(), F_GETFL) & ~O_NONBLOCK);
    fd = std::move(opened);
    return kOk;
  }
  const bool stream = S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode);
  const bool device = S_ISCHR(status.st_mode) && !isatty(opened.get());
  if (!stream && !device) return kInvalidFile;
  UniqueFd memory(memfd_create("quorwind-input", MFD_CLOEXEC));
  if (memory.get() < 0) return kOutOfMemory;
  // A device gives bytes without end (zeros, noise) unless it is a media
  // stream: only one that starts as media is read on.
  if (!ReadThrough(opened.get(), memory.get(), bounds, device)) return kInvalidFile;
  fd = std::move(memory);
  return kOk;
}

}  // namespace quorwind::mci
