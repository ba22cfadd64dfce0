// The child that decodes and the parent's Decoder that reads its frames.
#include "mci/sandbox/decoder_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "mci/sandbox/syscall_filter.h"

namespace quorwind::mci {

namespace {

/// Where the child keeps its two descriptors.
constexpr int kMediaFd = 3;
constexpr int kPipeFd = 4;
constexpr std::size_t kMaximumSpeakers = 64;
/// Frames the child decodes at a time.
constexpr std::size_t kBlockFrames = 4096;
/// The pipe holds about the stream's first request: a child that decoded
/// a second at once would take a processor from the start, and the output's
/// own buffer is what bridges a busy machine.
constexpr int kPipeBytes = 1 << 17;

/// What the child sends before the frames.
struct StreamHeader {
  std::uint32_t error = kInvalidFile;
  std::int32_t rate = 0;
  std::int32_t channels = 0;
  std::uint32_t speaker_count = 0;
  std::uint32_t native_format = 0;  ///< a SampleFormat
  std::uint64_t length_milliseconds = 0;
  Speaker speakers[kMaximumSpeakers] = {};
};

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

/// Reads up to |size| bytes; fewer at the end of the pipe, or when nothing
/// arrives for |patience| (then |stalled| is set).
std::size_t ReadAll(int fd, void* data, std::size_t size, std::chrono::milliseconds patience,
                    bool& stalled) {
  auto* bytes = static_cast<char*>(data);
  std::size_t done = 0;
  auto deadline = std::chrono::steady_clock::now() + patience;
  while (done < size) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (polled < 0 && errno == EINTR) continue;
    if (polled == 0) {
      stalled = true;
      break;
    }
    const ssize_t got = polled < 0 ? -1 : ::read(fd, bytes + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
    deadline = std::chrono::steady_clock::now() + patience;
  }
  return done;
}

/// The child: never returns.
[[noreturn]] void Decode(MakeDecoderFactory make, int media, int pipe, pid_t parent,
                         std::uint64_t data_bytes) {
  // Never outlive the player, even when it ends by _exit or a signal.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(1);
  // The two descriptors at fixed places; nothing else stays open, not even
  // the standard streams, so that nothing a library prints reaches the pipe.
  const int media_high = fcntl(media, F_DUPFD, 16);
  const int pipe_high = fcntl(pipe, F_DUPFD, 16);
  if (media_high < 0 || pipe_high < 0 || dup2(media_high, kMediaFd) < 0 ||
      dup2(pipe_high, kPipeFd) < 0 || close_range(kPipeFd + 1, ~0U, 0) != 0) {
    _exit(1);
  }
#ifdef QUORWIND_SANITIZE
  constexpr int kKeptOpen = STDERR_FILENO;  // the sanitizers report there
#else
  constexpr int kKeptOpen = -1;
#endif
  for (int standard = 0; standard < kMediaFd; ++standard) {
    if (standard != kKeptOpen) close(standard);
  }
  signal(SIGPIPE, SIG_DFL);  // a parent that stops reading ends the child

  StreamHeader header;
  std::unique_ptr<Decoder> decoder;
  {
    std::unique_ptr<DecoderFactory> factory = make();
    MciError error = factory ? factory->Prepare() : kInvalidFile;
#ifndef QUORWIND_SANITIZE  // the sanitizers' runtime maps its own memory as it goes
    const rlimit data{data_bytes, data_bytes};
    if (error == kOk && setrlimit(RLIMIT_DATA, &data) != 0) error = kInternal;
#else
    (void)data_bytes;
#endif
    if (error == kOk) error = RestrictToDecoding(kMediaFd, kPipeFd) ? kOk : kInternal;
    if (error == kOk) error = factory->Open(UniqueFd(kMediaFd), decoder);
    header.error = error;
  }
  if (header.error == kOk) {
    header.rate = decoder->SampleRate();
    header.channels = decoder->Channels();
    header.length_milliseconds = decoder->LengthMilliseconds();
    header.native_format = static_cast<std::uint32_t>(decoder->NativeFormat());
    const std::vector<Speaker> layout = decoder->Layout();
    if (layout.size() <= kMaximumSpeakers) {
      header.speaker_count = static_cast<std::uint32_t>(layout.size());
      std::copy(layout.begin(), layout.end(), header.speakers);
    }
  }
  if (!WriteAll(kPipeFd, &header, sizeof header) || header.error != kOk || header.channels <= 0) {
    _exit(0);
  }
  std::vector<float> block(kBlockFrames * static_cast<std::size_t>(header.channels));
  for (;;) {
    const std::size_t got = decoder->Read(block.data(), kBlockFrames);
    if (got == 0 || !WriteAll(kPipeFd, block.data(),
                              got * sizeof(float) * static_cast<std::size_t>(header.channels))) {
      break;
    }
  }
  _exit(0);
}

/// A descriptor of the process |pid| (Debian's C library declares its own
/// wrappers without C linkage).
int OpenProcess(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }
void KillProcess(int process) { syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0); }

/// The parent's end: the stream's format from the header, frames from the pipe.
class DecoderProcess : public Decoder {
 public:
  DecoderProcess(pid_t child, UniqueFd pipe, std::chrono::milliseconds stall)
      : child_(child), process_(OpenProcess(child)), pipe_(std::move(pipe)), stall_(stall) {}
  ~DecoderProcess() override { Stop(); }
  DecoderProcess(const DecoderProcess&) = delete;
  DecoderProcess& operator=(const DecoderProcess&) = delete;

  std::uint64_t LengthMilliseconds() const override { return header_.length_milliseconds; }
  int SampleRate() const override { return header_.rate; }
  int Channels() const override { return header_.channels; }
  std::vector<Speaker> Layout() const override {
    return {header_.speakers, header_.speakers + header_.speaker_count};
  }
  SampleFormat NativeFormat() const override {
    return header_.native_format == static_cast<std::uint32_t>(SampleFormat::kInt16)
               ? SampleFormat::kInt16
               : SampleFormat::kFloat;
  }
  std::size_t Read(float* out, std::size_t frames) override {
    if (child_ < 0) return 0;
    if (++reads_ == 2) SettleIn();
    const std::size_t frame_bytes = sizeof(float) * static_cast<std::size_t>(header_.channels);
    bool stalled = false;
    const std::size_t got = ReadAll(pipe_.get(), out, frames * frame_bytes, stall_, stalled);
    // At the end of the pipe, or past the bound, the frames end here.
    if (stalled || got < frames * frame_bytes) Stop();
    return got / frame_bytes;
  }

  /// Reads the stream's format within |patience|; false when it did not
  /// arrive whole (the child died, or hangs: then it is stopped).
  bool ReadHeader(std::chrono::milliseconds patience) {
    bool stalled = false;
    if (ReadAll(pipe_.get(), &header_, sizeof header_, patience, stalled) == sizeof header_) {
      return true;
    }
    Stop();
    return false;
  }
  const StreamHeader& header() const { return header_; }

 private:
  /// Once the sound has started, out of the start's way: the reaper's
  /// thread starts. A child that has written its stream exits while its last
  /// frames wait in the pipe: it is reaped at once, and no zombie waits out
  /// the sound. Its descriptor names it, never a process that takes its
  /// number later.
  void SettleIn() {
    if (process_.get() < 0) return;
    try {
      reaper_ = std::thread([process = process_.get()] {
        siginfo_t info{};
        while (waitid(P_PIDFD, static_cast<id_t>(process), &info, WEXITED) < 0 && errno == EINTR) {
        }
      });
    } catch (const std::system_error&) {
      // No thread to spare: the child is reaped when it is stopped.
    }
  }

  /// Kills the child and reaps it; the pipe then reads as its end.
  void Stop() {
    if (child_ < 0) return;
    if (reaper_.joinable()) {
      KillProcess(process_.get());
      reaper_.join();
    } else {
      kill(child_, SIGKILL);
      while (waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    child_ = -1;
  }

  pid_t child_;
  UniqueFd process_;    ///< the child's process descriptor
  std::thread reaper_;  ///< waits for the child's end, and reaps it
  UniqueFd pipe_;
  std::chrono::milliseconds stall_;
  int reads_ = 0;
  StreamHeader header_;
};

}  // namespace

MciError OpenInDecoderProcess(MakeDecoderFactory make, UniqueFd fd,
                              std::unique_ptr<Decoder>& decoder, const DecoderProcessBounds& bounds,
                              const std::function<void()>& while_child_opens) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return kOutOfMemory;
  UniqueFd reading(ends[0]);
  UniqueFd writing(ends[1]);
  fcntl(writing.get(), F_SETPIPE_SZ, kPipeBytes);  // refused, the default size serves
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) return kOutOfMemory;
  if (child == 0) Decode(make, fd.get(), writing.get(), parent, bounds.data_bytes);
  writing = UniqueFd();
  fd = UniqueFd();

  auto process = std::make_unique<DecoderProcess>(child, std::move(reading), bounds.stall);
  if (while_child_opens) while_child_opens();
  // A child that died parsing the file, or is still at it past the bound.
  if (!process->ReadHeader(bounds.open)) return kInvalidFile;
  const StreamHeader& header = process->header();
  if (header.error != kOk) return static_cast<MciError>(header.error);
  if (header.rate <= 0 || header.channels <= 0 || header.speaker_count > kMaximumSpeakers) {
    return kInvalidFile;
  }
  decoder = std::move(process);
  return kOk;
}

}  // namespace quorwind::mci
