// The module libquorwind-alsa.so, loaded only when no Pulse server answers:
// libasound's default device, written from a thread of our own through a
// resampler that keeps the sound on the system clock.
#include <alsa/asoundlib.h>
#include <samplerate.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "mci/module_loader.h"
#include "mci/outputs/audio_output.h"
#include "mci/outputs/clock_steering.h"

namespace quorwind::mci {

namespace {

using namespace std::chrono_literals;

/// How long the device may take to open and start playing.
constexpr auto kStartTimeout = 500ms;
/// How long the output's end waits for its thread to close the device.
constexpr auto kStopPatience = 200ms;
/// Requested buffering, as the Pulse back end asks of its server.
constexpr unsigned kLatencyMicroseconds = 200'000;
/// How often the writer looks at the stop flag while the device is full.
constexpr int kPollMilliseconds = 20;
/// How often the heard position is compared with the system clock.
constexpr auto kSteeringPeriod = 100ms;
/// libsamplerate's converter, which changes neither format nor rate, only
/// the pace, by as much as the steering asks; a new pace is reached
/// smoothly over the next block.
class PaceConverter {
 public:
  PaceConverter() = default;
  ~PaceConverter() {
    if (state_) src_delete(state_);
  }
  PaceConverter(const PaceConverter&) = delete;
  PaceConverter& operator=(const PaceConverter&) = delete;

  bool Open(int channels) {
    int error = 0;
    state_ = src_new(SRC_SINC_FASTEST, channels, &error);
    channels_ = static_cast<std::size_t>(channels);
    return state_ != nullptr;
  }
  /// Plays |pace| source frames for each frame of the device's clock.
  void SetPace(double pace) { ratio_ = 1.0 / pace; }
  /// Source frames given and not yet made into output.
  double Held() const { return given_ - made_; }

  /// Converts |frames| frames of |in|, or, where |in| is null, all that it
  /// holds, into |out|; returns the frames made, or -1.
  long Convert(const float* in, std::size_t frames, std::vector<float>& out) {
    SRC_DATA data{};
    static const float kNothing[1] = {};
    data.data_in = in ? in : kNothing;
    data.input_frames = in ? static_cast<long>(frames) : 0;
    data.end_of_input = in ? 0 : 1;
    data.src_ratio = ratio_;
    long made = 0;
    for (;;) {
      const auto room = static_cast<long>(static_cast<double>(data.input_frames) * ratio_) + 64;
      out.resize(static_cast<std::size_t>(made + room) * channels_);
      data.data_out = out.data() + static_cast<std::size_t>(made) * channels_;
      data.output_frames = room;
      if (src_process(state_, &data) != 0) return -1;
      data.data_in += static_cast<std::size_t>(data.input_frames_used) * channels_;
      data.input_frames -= data.input_frames_used;
      given_ += static_cast<double>(data.input_frames_used);
      made_ += static_cast<double>(data.output_frames_gen) / ratio_;
      made += data.output_frames_gen;
      if (data.input_frames == 0 && (in || data.output_frames_gen == 0)) return made;
    }
  }

 private:
  SRC_STATE* state_ = nullptr;
  std::size_t channels_ = 0;
  double ratio_ = 1.0;
  double given_ = 0;  ///< source frames given
  double made_ = 0;   ///< source frames made into output, at their paces
};

/// libasound reports through a process-wide handler; ours keeps quiet.
void QuietErrorHandler(const char*, int, const char*, int, const char*, ...) {}

/// The source as the writer reads it: closed when the output goes, so that
/// a writer abandoned inside libasound never touches it again.
class SourceGate {
 public:
  explicit SourceGate(FrameSource& source) : source_(&source) {}
  std::size_t Read(float* out, std::size_t frames) {
    std::lock_guard lock(mutex_);
    return source_ ? source_->Read(out, frames) : 0;
  }
  /// Returns once no Read is under way; every Read after it reads nothing.
  void Close() {
    std::lock_guard lock(mutex_);
    source_ = nullptr;
  }

 private:
  std::mutex mutex_;
  FrameSource* source_;
};

/// The stream's format, read from the source on the caller's thread.
struct StreamFormat {
  int rate = 0;
  int channels = 0;
  std::vector<Speaker> layout;
};

/// One ALSA stream, from its open to its close, all on its own thread: the
/// pulse plugin behind "default" waits for its server without a timeout when
/// opening, starting and stopping, so none of these may hold the caller.
/// Owned jointly by the output and its thread; an output that goes while
/// the thread is stuck in libasound leaves it the stream, never the source.
class AlsaStream {
 public:
  enum class Phase { kOpening, kNoDevice, kStarting, kAudible, kNothingToPlay, kFailed };

  AlsaStream(std::shared_ptr<SourceGate> source, StreamFormat format)
      : source_(std::move(source)), format_(std::move(format)) {}

  /// The thread's work: opens, plays, and closes once stopped.
  void Run();
  /// Waits until the phase leaves the opening and starting ones, or |deadline|.
  Phase AwaitStart(std::chrono::steady_clock::time_point deadline);
  /// Asks the thread to stop; returns whether it finished within |patience|
  /// (at once false while it is still opening the device).
  bool Stop(std::chrono::milliseconds patience);

 private:
  /// Opens "default" and sets the stream's format; false when it cannot.
  bool Open();
  void SetLayout();
  void Play();
  /// Writes |frames| frames of |data|; false when the device failed or stop
  /// was asked for.
  bool Write(const float* data, std::size_t frames);
  /// Marks the stream audible once the device has played its first frame.
  void CheckAudible();
  void SetPhase(Phase phase);
  /// Converts |frames| frames of |data| at the steered pace (all that the
  /// resampler holds when |data| is null) and writes them.
  bool Convert(const float* data, std::size_t frames);
  /// Compares the heard position with the system clock and sets the pace.
  void Steer();

  std::shared_ptr<SourceGate> source_;
  const StreamFormat format_;
  std::atomic<bool> stop_ = false;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<Phase> phase_ = Phase::kOpening;  // written under mutex_
  bool finished_ = false;                       // under mutex_

  // Touched by the thread only.
  snd_pcm_t* pcm_ = nullptr;
  std::size_t channels_ = 0;
  std::uint64_t frames_written_ = 0;
  int rate_ = 0;
  PaceConverter resampler_;
  std::vector<float> converted_;
  std::uint64_t frames_converted_ = 0;  // source frames given to the resampler
  ClockSteering steering_;
  std::chrono::steady_clock::time_point first_heard_;
  std::chrono::steady_clock::time_point steered_;
};

class AlsaOutput : public AudioOutput {
 public:
  AlsaOutput() = default;
  ~AlsaOutput() override;
  AlsaOutput(const AlsaOutput&) = delete;
  AlsaOutput& operator=(const AlsaOutput&) = delete;

  MciError Start(FrameSource& source, std::chrono::steady_clock::time_point deadline) override;

 private:
  std::shared_ptr<SourceGate> source_;
  std::shared_ptr<AlsaStream> stream_;
  std::thread thread_;
};

AlsaOutput::~AlsaOutput() {
  if (!stream_) return;
  source_->Close();
  // A thread held by a hung server is left to the end of the process.
  if (stream_->Stop(kStopPatience)) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

MciError AlsaOutput::Start(FrameSource& source, std::chrono::steady_clock::time_point deadline) {
  if (source.SampleRate() <= 0 || source.Channels() <= 0) return kInvalidFile;
  snd_lib_error_set_handler(QuietErrorHandler);
  source_ = std::make_shared<SourceGate>(source);
  stream_ = std::make_shared<AlsaStream>(
      source_, StreamFormat{source.SampleRate(), source.Channels(), source.Layout()});
  thread_ = std::thread([stream = stream_] { stream->Run(); });
  switch (
      stream_->AwaitStart(std::min(deadline, std::chrono::steady_clock::now() + kStartTimeout))) {
    case AlsaStream::Phase::kAudible:
    case AlsaStream::Phase::kNothingToPlay:
      return kOk;
    case AlsaStream::Phase::kOpening:  // still opening: no device answers in time
    case AlsaStream::Phase::kNoDevice:
      return kDeviceNotInstalled;
    default:
      return kDeviceNotReady;
  }
}

AlsaStream::Phase AlsaStream::AwaitStart(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline,
                      [&] { return phase_ != Phase::kOpening && phase_ != Phase::kStarting; });
  return phase_;
}

bool AlsaStream::Stop(std::chrono::milliseconds patience) {
  stop_ = true;
  std::unique_lock lock(mutex_);
  changed_.notify_all();
  if (phase_ == Phase::kOpening) return false;  // an open that hangs would hang the close
  return changed_.wait_for(lock, patience, [&] { return finished_; });
}

void AlsaStream::Run() {
  if (Open()) {
    SetPhase(Phase::kStarting);
    Play();
    // Playing goes on in the device until stop is asked for.
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stop_.load(); });
  } else {
    SetPhase(Phase::kNoDevice);
  }
  if (pcm_) {
    snd_pcm_drop(pcm_);
    snd_pcm_close(pcm_);
  }
  std::lock_guard lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

bool AlsaStream::Open() {
  if (snd_pcm_open(&pcm_, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
    pcm_ = nullptr;
    return false;
  }
  if (snd_pcm_set_params(pcm_, SND_PCM_FORMAT_FLOAT, SND_PCM_ACCESS_RW_INTERLEAVED,
                         static_cast<unsigned>(format_.channels),
                         static_cast<unsigned>(format_.rate), 1, kLatencyMicroseconds) < 0) {
    SetPhase(Phase::kFailed);
    return false;
  }
  SetLayout();
  channels_ = static_cast<std::size_t>(format_.channels);
  rate_ = format_.rate;
  if (!resampler_.Open(format_.channels)) {
    SetPhase(Phase::kFailed);
    return false;
  }
  return true;
}

void AlsaStream::SetLayout() {
  static constexpr unsigned kPositions[] = {
      SND_CHMAP_MONO, SND_CHMAP_FL,  SND_CHMAP_FR,  SND_CHMAP_FC,  SND_CHMAP_LFE,
      SND_CHMAP_RL,   SND_CHMAP_RR,  SND_CHMAP_RC,  SND_CHMAP_SL,  SND_CHMAP_SR,
      SND_CHMAP_FLC,  SND_CHMAP_FRC, SND_CHMAP_TC,  SND_CHMAP_TFL, SND_CHMAP_TFC,
      SND_CHMAP_TFR,  SND_CHMAP_TRL, SND_CHMAP_TRC, SND_CHMAP_TRR,
  };
  static_assert(std::size(kPositions) == kSpeakerCount, "one position per Speaker");
  const std::vector<Speaker>& layout = format_.layout;
  if (layout.empty()) return;
  std::vector<unsigned> storage(1 + layout.size());
  auto* map = reinterpret_cast<snd_pcm_chmap_t*>(storage.data());
  map->channels = static_cast<unsigned>(layout.size());
  for (std::size_t i = 0; i < layout.size(); ++i) {
    map->pos[i] = kPositions[static_cast<std::size_t>(layout[i])];
  }
  snd_pcm_set_chmap(pcm_, map);  // devices that cannot take it use their own
}

void AlsaStream::Play() {
  snd_pcm_uframes_t period = 0;
  snd_pcm_uframes_t buffer = 0;
  snd_pcm_get_params(pcm_, &buffer, &period);
  std::vector<float> block(std::max<std::size_t>(period, 256) * channels_);
  const std::size_t block_frames = block.size() / channels_;
  for (;;) {
    const std::size_t got = source_->Read(block.data(), block_frames);
    if (got > 0 && !Convert(block.data(), got)) return;
    if (got < block_frames) break;
    Steer();
  }
  if (!Convert(nullptr, 0)) return;
  if (frames_written_ == 0) {
    SetPhase(Phase::kNothingToPlay);
    return;
  }
  // The end: a file shorter than the start threshold must still start, and
  // play returns only once it is heard.
  if (snd_pcm_state(pcm_) == SND_PCM_STATE_PREPARED) snd_pcm_start(pcm_);
  while (!stop_ && phase_ == Phase::kStarting) {
    CheckAudible();
    std::this_thread::sleep_for(1ms);
  }
}

bool AlsaStream::Convert(const float* data, std::size_t frames) {
  const long made = resampler_.Convert(data, frames, converted_);
  frames_converted_ += frames;
  return made >= 0 && Write(converted_.data(), static_cast<std::size_t>(made));
}

void AlsaStream::Steer() {
  const auto now = std::chrono::steady_clock::now();
  if (phase_ != Phase::kAudible || now - steered_ < kSteeringPeriod) return;
  steered_ = now;
  snd_pcm_sframes_t delay = 0;
  if (snd_pcm_delay(pcm_, &delay) < 0) return;
  // What the resampler was given, less what it holds and what the device
  // has still to play (in device frames, each worth |pace| source frames).
  const double pending = resampler_.Held() + static_cast<double>(delay) * steering_.pace();
  const double heard = (static_cast<double>(frames_converted_) - pending) / rate_;
  resampler_.SetPace(
      steering_.Update(heard, std::chrono::duration<double>(now - first_heard_).count()));
}

bool AlsaStream::Write(const float* data, std::size_t frames) {
  while (frames > 0) {
    if (stop_) return false;
    const snd_pcm_sframes_t written =
        snd_pcm_writei(pcm_, data, static_cast<snd_pcm_uframes_t>(frames));
    if (written == -EAGAIN) {
      if (phase_ == Phase::kStarting) {
        CheckAudible();
        std::this_thread::sleep_for(1ms);
      } else {
        snd_pcm_wait(pcm_, kPollMilliseconds);
      }
      continue;
    }
    if (written < 0) {
      // An underrun is recovered; a device that went away ends playback.
      if (snd_pcm_recover(pcm_, static_cast<int>(written), 1) < 0) {
        SetPhase(Phase::kFailed);
        return false;
      }
      continue;
    }
    data += static_cast<std::size_t>(written) * channels_;
    frames -= static_cast<std::size_t>(written);
    frames_written_ += static_cast<std::uint64_t>(written);
    if (phase_ == Phase::kStarting) CheckAudible();
  }
  return true;
}

void AlsaStream::CheckAudible() {
  if (snd_pcm_state(pcm_) != SND_PCM_STATE_RUNNING) return;
  snd_pcm_sframes_t delay = 0;
  if (snd_pcm_delay(pcm_, &delay) < 0) return;
  // What has been written but is still queued is the delay; the rest is heard.
  if (delay >= 0 && static_cast<std::uint64_t>(delay) < frames_written_) {
    first_heard_ = steered_ = std::chrono::steady_clock::now();
    // What played before this thread saw it, the steering takes back.
    steering_.SetLead(static_cast<double>(frames_written_ - static_cast<std::uint64_t>(delay)) /
                      rate_);
    SetPhase(Phase::kAudible);
  }
}

void AlsaStream::SetPhase(Phase phase) {
  {
    std::lock_guard lock(mutex_);
    if (phase_ == phase || phase_ == Phase::kFailed) return;
    phase_.store(phase);
  }
  changed_.notify_all();
}

}  // namespace

}  // namespace quorwind::mci

QUORWIND_OUTPUT_MODULE(quorwind::mci::AlsaOutput)
