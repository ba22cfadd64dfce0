// PulseAudio back end: a threaded main loop pulls frames from the source.
#include <dlfcn.h>
#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "mci/module_loader.h"
#include "mci/pulse/pulse_output.h"

namespace quorwind::mci {

namespace {

using namespace std::chrono_literals;

/// How long the server may take to connect and start playing, in all.
constexpr auto kStartTimeout = 500ms;
/// Requested buffering: short enough to keep the sink's latency low, so that
/// the sound starts and ends on time, long enough that the thread wakes only a
/// few times a second.
constexpr pa_usec_t kTargetLatency = kPulseTargetLatency;
constexpr pa_usec_t kMinimumRequest = 60'000;
/// The sink latency these ask for (the server gives the sink half of what
/// the target leaves beyond two requests), and the request that keeps it
/// with the deeper buffer.
constexpr pa_usec_t kSinkLatency = (kTargetLatency - 2 * kMinimumRequest) / 2;
constexpr pa_usec_t kPlayingRequest = (kPulsePlayingBuffer - 2 * kSinkLatency) / 2;
/// Frames kept beyond the buffer's: the sink's. The server holds at most
/// the buffer's and the sink's frames unheard, and a server that comes back
/// after T has let T of them pass: the buffer is the most a restart can use
/// (PulseAudio answers 60 ms after it starts, PipeWire 0.9 s). In all at
/// most this many bytes.
constexpr pa_usec_t kKeptBeyondBuffer = kSinkLatency;
constexpr std::size_t kMaximumKeptBytes = 32u << 20;
/// Bounds of the wait for the sink's latency.
constexpr auto kTimingTimeout = 200ms;
constexpr pa_usec_t kMaximumWait = 500'000;
/// How often the heard position is compared with the system clock.
constexpr pa_usec_t kSteeringPeriod = kPulseSteeringPeriod;

/// The client library logs its own warnings to standard error (a home with
/// no configuration folder, a runtime folder owned by another user): its
/// log, kept in the private library beside it, is sent nowhere.
void SilenceClientLog() {
  void* library = dlopen("libpulse.so.0", RTLD_NOW | RTLD_NOLOAD);
  if (!library) return;
  using ParseTarget = void* (*)(const char*);
  using SetTarget = int (*)(void*);
  using FreeTarget = void (*)(void*);
  const auto parse = reinterpret_cast<ParseTarget>(dlsym(library, "pa_log_parse_target"));
  const auto set = reinterpret_cast<SetTarget>(dlsym(library, "pa_log_set_target"));
  const auto free = reinterpret_cast<FreeTarget>(dlsym(library, "pa_log_target_free"));
  if (parse && set && free) {
    if (void* nowhere = parse("null")) {
      set(nowhere);
      free(nowhere);
    }
  }
  dlclose(library);
}

/// A playback stream's buffering: |target| in all, asked for |request| at a
/// time, playing once |prebuf| bytes are there (-1: the target's).
pa_buffer_attr PlaybackBuffer(const pa_sample_spec& spec, pa_usec_t target, pa_usec_t request,
                              std::uint32_t prebuf) {
  pa_buffer_attr buffer{};
  buffer.maxlength = static_cast<std::uint32_t>(-1);
  buffer.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(target, &spec));
  buffer.prebuf = prebuf;
  buffer.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(request, &spec));
  buffer.fragsize = static_cast<std::uint32_t>(-1);
  return buffer;
}

/// The frames the deepest buffer holds and those beyond it, kept for a
/// server that comes back after losing them; within a bound on memory.
std::size_t KeptFrames(const FrameSource& source) {
  const double seconds = static_cast<double>(kPulsePlayingBuffer + kKeptBeyondBuffer) / 1e6;
  const std::size_t sample_bytes =
      source.NativeFormat() == SampleFormat::kInt16 ? sizeof(std::int16_t) : sizeof(float);
  const auto frame_bytes = sample_bytes * static_cast<std::size_t>(std::max(source.Channels(), 1));
  return std::min(static_cast<std::size_t>(seconds * std::max(source.SampleRate(), 1)),
                  kMaximumKeptBytes / frame_bytes);
}

}  // namespace

PulseOutput::~PulseOutput() {
  if (!loop_) return;
  pa_threaded_mainloop_lock(loop_);
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  if (steering_timer_) api->time_free(steering_timer_);
  if (retry_timer_) api->time_free(retry_timer_);
  if (let_go_) api->defer_free(let_go_);
  ReleaseServer();
  pa_threaded_mainloop_unlock(loop_);
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
}

void PulseOutput::ReleaseServer() {
  if (stream_) {
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_started_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  if (context_) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
}

void PulseOutput::Prepare() {
  if (!loop_) BeginConnect();
}

MciError PulseOutput::Start(FrameSource& source, std::chrono::steady_clock::time_point deadline) {
  // A 16-bit file's samples go to the server as 16-bit ones, as they are.
  source_ = std::make_unique<RewindableSource>(source, KeptFrames(source), source.NativeFormat());
  deadline_ = std::min(deadline, std::chrono::steady_clock::now() + kStartTimeout);
  if (!loop_ && BeginConnect() != kOk) return kDeviceNotInstalled;
  pa_sample_spec spec;
  pa_channel_map map;
  const bool playable = SourceFormat(spec, map);
  if (playable) RequestStream();
  // No server, or none that answers in time: another back end may serve.
  AwaitChange(Phase::kConnecting);
  if (std::lock_guard lock(mutex_); !connected_) return kDeviceNotInstalled;
  if (!playable) return kInvalidFile;
  const Phase phase = AwaitChange(Phase::kReady);
  if (phase == Phase::kPlaying) {
    WaitOutSinkLatency();
    StartSteering();
  }
  return phase == Phase::kPlaying || phase == Phase::kNothingToPlay ? kOk : kDeviceNotReady;
}

bool PulseOutput::SourceFormat(pa_sample_spec& spec, pa_channel_map& map) const {
  spec = {};
  spec.format = source_->Format() == SampleFormat::kInt16 ? PA_SAMPLE_S16NE : PA_SAMPLE_FLOAT32NE;
  spec.rate = static_cast<std::uint32_t>(source_->SampleRate());
  spec.channels = static_cast<std::uint8_t>(source_->Channels());
  map = {};
  return source_->SampleRate() <= static_cast<int>(PA_RATE_MAX) &&
         source_->Channels() <= static_cast<int>(PA_CHANNELS_MAX) && pa_sample_spec_valid(&spec) &&
         MakeChannelMap(spec, map);
}

void PulseOutput::RequestStream() {
  // Made by the loop's thread the moment the connection is ready, as its
  // state arrives, rather than after waking this one; made here when it is
  // ready already.
  pa_threaded_mainloop_lock(loop_);
  stream_wanted_ = true;
  if (!stream_ && context_ && pa_context_get_state(context_) == PA_CONTEXT_READY &&
      !ConnectStream()) {
    SetPhase(Phase::kFailed);
  }
  pa_threaded_mainloop_unlock(loop_);
}

void PulseOutput::WaitOutSinkLatency() {
  // The first frames have just been mixed into the sink's buffer; they are
  // heard once the sink has played what stands before them.
  pa_threaded_mainloop_lock(loop_);
  pa_operation* update = pa_stream_update_timing_info(stream_, OnTimingUpdate, this);
  pa_threaded_mainloop_unlock(loop_);
  if (!update) return;
  {
    std::unique_lock lock(mutex_);
    phase_changed_.wait_for(lock, kTimingTimeout, [&] { return timing_updated_; });
  }
  pa_threaded_mainloop_lock(loop_);
  pa_operation_unref(update);
  const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
  // The first frame is heard once the sink has played what it holds, less
  // what of the stream it has already played. Counted from when the timing
  // was current, not from when this thread got to read it: the started event
  // and this reply each come a wake-up or two late on a busy machine.
  auto heard_at = std::chrono::steady_clock::now();
  if (timing) {
    const pa_usec_t taken = timing->read_index_corrupt || timing->read_index < 0
                                ? 0
                                : pa_bytes_to_usec(static_cast<std::uint64_t>(timing->read_index),
                                                   pa_stream_get_sample_spec(stream_));
    const auto latency = static_cast<std::int64_t>(std::min(timing->sink_usec, kMaximumWait));
    heard_at +=
        std::chrono::microseconds(latency - static_cast<std::int64_t>(taken) -
                                  static_cast<std::int64_t>(pa_timeval_age(&timing->timestamp)));
  }
  pa_threaded_mainloop_unlock(loop_);
  std::this_thread::sleep_until(heard_at);
  // Had it been heard already, the steering takes back how long ago.
  lead_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - heard_at).count();
}

void PulseOutput::StartSteering() {
  pa_threaded_mainloop_lock(loop_);
  first_heard_ = std::chrono::steady_clock::now();
  steering_.SetLead(lead_);
  playing_ = true;
  steering_timer_ =
      pa_context_rttime_new(context_, pa_rtclock_now() + kSteeringPeriod, OnSteeringTimer, this);
  DeepenBuffer();
  pa_threaded_mainloop_unlock(loop_);
}

void PulseOutput::DeepenBuffer() {
  if (!stream_) return;
  const pa_sample_spec* spec = pa_stream_get_sample_spec(stream_);
  // After an underrun, play again as soon as at the start.
  const pa_buffer_attr buffer =
      PlaybackBuffer(*spec, kPulsePlayingBuffer, kPlayingRequest,
                     static_cast<std::uint32_t>(pa_usec_to_bytes(kTargetLatency, spec)));
  pa_operation* change = pa_stream_set_buffer_attr(stream_, &buffer, nullptr, nullptr);
  if (change) pa_operation_unref(change);
}

void PulseOutput::OnSteeringTimer(pa_mainloop_api*, pa_time_event* event, const timeval*,
                                  void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  if (output->steering_failed_) return;
  pa_operation* update = pa_stream_update_timing_info(output->stream_, OnSteeringTiming, output);
  if (update) pa_operation_unref(update);
  pa_context_rttime_restart(output->context_, event, pa_rtclock_now() + kSteeringPeriod);
}

void PulseOutput::OnSteeringTiming(pa_stream* stream, int success, void* self) {
  const pa_timing_info* timing = success ? pa_stream_get_timing_info(stream) : nullptr;
  if (timing && !timing->read_index_corrupt) static_cast<PulseOutput*>(self)->Steer(*timing);
}

void PulseOutput::Steer(const pa_timing_info& timing) {
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - first_heard_).count();
  const double nominal = source_->SampleRate();
  const auto frame_bytes = static_cast<double>(source_->FrameBytes());
  // What the server has taken from the stream, less what its sink still holds.
  // (A stream opened on a server that came back starts later in the sound.)
  const double heard_frame = static_cast<double>(timing.read_index) / frame_bytes -
                             static_cast<double>(timing.sink_usec) / 1e6 * nominal;
  const double heard = TimelineFrameAt(heard_frame) / nominal;
  sink_latency_ = timing.sink_usec;
  if (resumed_at_ != std::chrono::steady_clock::time_point{} && timing.playing) {
    Realign(elapsed + lead_ - heard);
  }
  const double pace = steering_.Update(heard, elapsed);
  const auto rate = static_cast<std::uint32_t>(std::lround(nominal * pace));
  if (rate == rate_ || rate > PA_RATE_MAX) return;
  pa_operation* change = pa_stream_update_sample_rate(stream_, rate, nullptr, nullptr);
  // A server that cannot change the rate plays at the device's pace.
  if (!change) {
    steering_failed_ = true;
    return;
  }
  pa_operation_unref(change);
  rate_ = rate;
}

void PulseOutput::OnTimingUpdate(pa_stream*, int, void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  {
    std::lock_guard lock(output->mutex_);
    output->timing_updated_ = true;
  }
  output->phase_changed_.notify_all();
}

MciError PulseOutput::BeginConnect() {
  SilenceClientLog();
  loop_ = pa_threaded_mainloop_new();
  if (!loop_) return kOutOfMemory;
  // The loop's thread starts while the client reads its configuration: it
  // is polling by the time the socket connects, and sends the first request
  // at once rather than after its own start.
  bool started = pa_threaded_mainloop_start(loop_) >= 0;
  pa_threaded_mainloop_lock(loop_);
  if (started) context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Quorwind");
  started = context_ != nullptr;
  if (started) {
    pa_context_set_state_callback(context_, OnContextState, this);
    // Never spawn a server: without one, nothing plays.
    started = pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
  }
  pa_threaded_mainloop_unlock(loop_);
  if (!started) SetPhase(Phase::kFailed);
  return started ? kOk : kDeviceNotInstalled;
}

bool PulseOutput::ConnectStream() {
  pa_sample_spec spec;
  pa_channel_map map;
  if (!SourceFormat(spec, map)) return false;
  rate_ = spec.rate;

  const pa_buffer_attr buffer =
      PlaybackBuffer(spec, kTargetLatency, kMinimumRequest, static_cast<std::uint32_t>(-1));

  stream_ = pa_stream_new(context_, "Quorwind", &spec, &map);
  if (!stream_) return false;
  pa_stream_set_state_callback(stream_, OnStreamState, this);
  pa_stream_set_write_callback(stream_, OnWrite, this);
  pa_stream_set_started_callback(stream_, OnStarted, this);
  const auto flags =
      static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_VARIABLE_RATE);
  return pa_stream_connect_playback(stream_, nullptr, &buffer, flags, nullptr, nullptr) >= 0;
}

bool PulseOutput::MakeChannelMap(const pa_sample_spec& spec, pa_channel_map& map) const {
  static constexpr pa_channel_position_t kPositions[] = {
      PA_CHANNEL_POSITION_MONO,
      PA_CHANNEL_POSITION_FRONT_LEFT,
      PA_CHANNEL_POSITION_FRONT_RIGHT,
      PA_CHANNEL_POSITION_FRONT_CENTER,
      PA_CHANNEL_POSITION_LFE,
      PA_CHANNEL_POSITION_REAR_LEFT,
      PA_CHANNEL_POSITION_REAR_RIGHT,
      PA_CHANNEL_POSITION_REAR_CENTER,
      PA_CHANNEL_POSITION_SIDE_LEFT,
      PA_CHANNEL_POSITION_SIDE_RIGHT,
      PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER,
      PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER,
      PA_CHANNEL_POSITION_TOP_CENTER,
      PA_CHANNEL_POSITION_TOP_FRONT_LEFT,
      PA_CHANNEL_POSITION_TOP_FRONT_CENTER,
      PA_CHANNEL_POSITION_TOP_FRONT_RIGHT,
      PA_CHANNEL_POSITION_TOP_REAR_LEFT,
      PA_CHANNEL_POSITION_TOP_REAR_CENTER,
      PA_CHANNEL_POSITION_TOP_REAR_RIGHT,
  };
  static_assert(std::size(kPositions) == kSpeakerCount, "one position per Speaker");
  const std::vector<Speaker> layout = source_->Layout();
  if (layout.size() == spec.channels) {
    map.channels = spec.channels;
    for (std::size_t i = 0; i < layout.size(); ++i) {
      map.map[i] = kPositions[static_cast<std::size_t>(layout[i])];
    }
    if (pa_channel_map_valid(&map)) return true;
  }
  return pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT) != nullptr;
}

PulseOutput::Phase PulseOutput::AwaitChange(Phase from) {
  std::unique_lock lock(mutex_);
  phase_changed_.wait_until(lock, deadline_, [&] { return phase_ != from; });
  return phase_;
}

void PulseOutput::SetPhase(Phase phase) {
  {
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::kFailed || phase_ == phase) return;
    phase_ = phase;
  }
  phase_changed_.notify_all();
}

void PulseOutput::OnContextState(pa_context* context, void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
      if (output->reconnecting_) {
        output->ResumeOnNewServer();
        break;
      }
      {
        std::lock_guard lock(output->mutex_);
        output->connected_ = true;
      }
      if (output->stream_wanted_ && !output->stream_ && !output->ConnectStream()) {
        output->SetPhase(Phase::kFailed);
      } else {
        output->SetPhase(Phase::kReady);
      }
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      if (output->playing_) {
        output->OnServerLost();
      } else {
        output->SetPhase(Phase::kFailed);
      }
      break;
    default:
      break;
  }
}

void PulseOutput::OnStreamState(pa_stream* stream, void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    if (output->playing_) {
      output->OnServerLost();
    } else {
      output->SetPhase(Phase::kFailed);
    }
  }
}

void PulseOutput::OnStarted(pa_stream*, void* self) {
  static_cast<PulseOutput*>(self)->SetPhase(Phase::kPlaying);
}

void PulseOutput::OnWrite(pa_stream*, std::size_t bytes, void* self) {
  static_cast<PulseOutput*>(self)->Fill(bytes);
}

void PulseOutput::Fill(std::size_t requested) {
  // All that the server asks for is written: a request left half-filled
  // never comes again, and the stream would wait for its pre-buffer forever.
  const std::size_t frame_bytes = source_->FrameBytes();
  while (!source_ended_ && requested >= frame_bytes) {
    void* data = nullptr;
    std::size_t bytes = requested;
    if (pa_stream_begin_write(stream_, &data, &bytes) < 0 || !data) return;
    const std::size_t wanted = std::min(bytes, requested) / frame_bytes;
    if (wanted == 0) {
      pa_stream_cancel_write(stream_);
      return;
    }
    // After a server came back, silence first where the sound was lost.
    const std::size_t silence =
        static_cast<std::size_t>(std::min<std::uint64_t>(silence_due_, wanted));
    std::memset(data, 0, silence * frame_bytes);  // zero in either format
    silence_due_ -= silence;
    const std::size_t read =
        silence < wanted ? source_->Read(static_cast<std::uint8_t*>(data) + silence * frame_bytes,
                                         wanted - silence)
                         : 0;
    read_frames_ += read;
    const std::size_t got = silence + read;
    written_ += got;
    if (got > 0) {
      if (pa_stream_write(stream_, data, got * frame_bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
        return;
      }
      requested -= got * frame_bytes;
      wrote_any_ = true;
    } else {
      pa_stream_cancel_write(stream_);
    }
    if (got == wanted || silence == wanted) continue;
    // The end: a file shorter than the pre-buffer must still start playing,
    // and its last frames must play although they fill no whole period:
    // PipeWire holds back a part-filled quantum until the stream drains.
    source_ended_ = true;
    if (wrote_any_) {
      pa_operation* trigger = pa_stream_trigger(stream_, nullptr, nullptr);
      if (trigger) pa_operation_unref(trigger);
      pa_operation* drain = pa_stream_drain(stream_, nullptr, nullptr);
      if (drain) pa_operation_unref(drain);
    } else {
      SetPhase(Phase::kNothingToPlay);
    }
  }
}

}  // namespace quorwind::mci

QUORWIND_OUTPUT_MODULE(quorwind::mci::PulseOutput)
