// The PulseAudio back end's class, shared by the files that implement it:
// pulse_output.cc starts and feeds the stream, pulse_output_resume.cc takes
// the sound up again when the server goes away and comes back.
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "mci/outputs/audio_output.h"
#include "mci/outputs/clock_steering.h"
#include "mci/pulse/rewindable_source.h"

namespace quorwind::mci {

/// Requested buffering until the first frame is heard: short enough to keep
/// the sink's latency low, so that the sound starts and ends on time, and
/// the first request small.
inline constexpr pa_usec_t kPulseTargetLatency = 250'000;
/// Buffering from then on, with the same sink latency: a client kept from
/// the processor for twice the longest stall seen on a busy machine (465 ms,
/// four busy loops on two cores) leaves no gap.
inline constexpr pa_usec_t kPulsePlayingBuffer = 1'000'000;
/// How often the heard position is compared with the system clock.
inline constexpr pa_usec_t kPulseSteeringPeriod = 100'000;

/// A threaded main loop pulls frames from the source.
class PulseOutput : public AudioOutput {
 public:
  PulseOutput() = default;
  ~PulseOutput() override;
  PulseOutput(const PulseOutput&) = delete;
  PulseOutput& operator=(const PulseOutput&) = delete;

  void Prepare() override;
  MciError Start(FrameSource& source, std::chrono::steady_clock::time_point deadline) override;

 private:
  enum class Phase { kConnecting, kReady, kPlaying, kNothingToPlay, kFailed };

  /// Starts connecting to the server; the phase tells when it is ready.
  MciError BeginConnect();
  /// The stream's format and speakers for the source; false when the
  /// server cannot take them.
  bool SourceFormat(pa_sample_spec& spec, pa_channel_map& map) const;
  /// Asks for the stream: made now on a ready connection, else as the
  /// connection becomes ready.
  void RequestStream();
  /// Waits until the phase leaves |from| or the start deadline passes.
  Phase AwaitChange(Phase from);
  bool MakeChannelMap(const pa_sample_spec& spec, pa_channel_map& map) const;
  /// Returns once the frames the sink has just started are audible, and
  /// keeps how long ago that was if it was already past.
  void WaitOutSinkLatency();
  void SetPhase(Phase phase);
  /// From the first audible frame on, keeps the heard position on the
  /// system clock by steering the stream's rate.
  void StartSteering();
  /// Deepens the stream's buffer to kPulsePlayingBuffer, once the first
  /// stream is heard or a new one aligned; with the loop locked.
  void DeepenBuffer();
  void Steer(const pa_timing_info& timing);

  static void OnSteeringTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                              void* self);
  static void OnSteeringTiming(pa_stream* stream, int success, void* self);

  static void OnContextState(pa_context* context, void* self);
  static void OnStreamState(pa_stream* stream, void* self);
  static void OnStarted(pa_stream* stream, void* self);
  static void OnWrite(pa_stream* stream, std::size_t bytes, void* self);
  static void OnTimingUpdate(pa_stream* stream, int success, void* self);
  /// Writes |requested| bytes, or what is left of the source.
  void Fill(std::size_t requested);
  /// Makes and connects the stream for the source's format; on the loop's
  /// thread, or with the loop locked.
  bool ConnectStream();
  /// Lets the stream and the connection go; with the loop locked.
  void ReleaseServer();

  // Losing the server mid-sound and finding one again
  // (pulse_output_resume.cc): the timeline goes on without it, and the rest
  // plays at its place on a server that comes back.

  /// The stream or the connection failed while playing.
  void OnServerLost();
  static void OnLetGo(pa_mainloop_api* api, pa_defer_event* event, void* self);
  static void OnRetry(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* self);
  /// A new connection is ready: the stream starts at the sound's place.
  void ResumeOnNewServer();
  /// The timeline's frame heard |ahead| from now.
  std::uint64_t FrameHeardIn(pa_usec_t ahead) const;
  /// Reads and drops the source's frames up to timeline frame |frame|.
  void SkipTo(std::uint64_t frame);
  /// Makes timeline frame |frame| the next read: steps back through the
  /// kept frames if they were read already, else skips to it.
  void TakeUpAt(std::uint64_t frame);
  /// The timeline's frame at frame |frame| of the stream.
  double TimelineFrameAt(double frame) const;
  /// On a stream opened after a server came back, where its frames are
  /// heard |late| seconds after their time (early where negative): the
  /// frames written from now on are shifted onto the timeline, by dropping
  /// frames or by silence.
  void Realign(double late);

  std::mutex mutex_;
  std::condition_variable phase_changed_;
  std::chrono::steady_clock::time_point deadline_;
  Phase phase_ = Phase::kConnecting;
  bool connected_ = false;  // the first connection became ready
  bool timing_updated_ = false;

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  bool stream_wanted_ = false;  // with the loop locked: Start asked for the stream

  // Touched on the main loop's thread only, once the stream exists.
  std::unique_ptr<RewindableSource> source_;  // the decoder's frames, the latest kept
  bool source_ended_ = false;
  bool wrote_any_ = false;
  pa_time_event* steering_timer_ = nullptr;
  std::chrono::steady_clock::time_point first_heard_;
  double lead_ = 0.0;  // seconds heard before play returned
  ClockSteering steering_;
  std::uint32_t rate_ = 0;  // the stream's, as last set
  bool steering_failed_ = false;
  pa_usec_t sink_latency_ = 0;  // as last measured

  // The timeline: frame n of the source is due n / rate after the first.
  bool playing_ = false;           // Start returned with the sound heard
  std::uint64_t read_frames_ = 0;  // taken from the source
  std::uint64_t written_ = 0;      // frames written to the stream, silence included
  std::uint64_t silence_due_ = 0;  // frames of silence to write before the source's
  /// From which frame of the stream on, the timeline's frame is the stream's
  /// plus how many: one entry for a stream that never lost its server.
  std::vector<std::pair<std::uint64_t, std::int64_t>> timeline_offsets_{{0, 0}};
  std::chrono::steady_clock::time_point resumed_at_{};  // the last new stream's
  std::chrono::steady_clock::time_point realigned_at_{};
  pa_defer_event* let_go_ = nullptr;
  pa_time_event* retry_timer_ = nullptr;
  bool reconnecting_ = false;
};

}  // namespace quorwind::mci
