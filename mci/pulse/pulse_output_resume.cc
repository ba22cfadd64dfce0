// The PulseAudio back end when the server goes away mid-sound: the timeline
// goes on without it, a new connection is tried now and then, and on a
// server that comes back the rest of the sound plays at its place in time.
// Frames due while no server was there are dropped, never played late.
#include <pulse/rtclock.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "mci/pulse/pulse_output.h"

namespace quorwind::mci {

namespace {

/// How often a new connection is tried while no server answers.
constexpr pa_usec_t kRetryPeriod = 200'000;
/// What a new stream's first frame waits before it is heard, beyond the
/// sink's latency: the connection, and the stream's first request.
constexpr pa_usec_t kRestartDelay = 5'000;
/// A new stream heard this far from its time is shifted onto it; nearer, the
/// steering takes it.
constexpr double kLargestMisalignment = 0.015;
/// A shift is measured once the stream runs, and reaches what is heard
/// after the frames already written: the next is measured after that.
constexpr auto kRealignPause = std::chrono::milliseconds(600);
/// After this, a new stream is left to the steering.
constexpr auto kRealignWindow = std::chrono::seconds(5);

}  // namespace

void PulseOutput::OnServerLost() {
  // The stream and the connection are let go on the loop's next turn, out
  // of their own callbacks. A source read to its end may still have frames
  // to be heard: the first retry tells.
  if (let_go_) return;
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  let_go_ = api->defer_new(api, OnLetGo, this);
}

void PulseOutput::OnLetGo(pa_mainloop_api* api, pa_defer_event* event, void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  api->defer_free(event);
  output->let_go_ = nullptr;
  if (output->steering_timer_) {
    api->time_free(output->steering_timer_);
    output->steering_timer_ = nullptr;
  }
  output->ReleaseServer();
  // A fresh connection, tried after a pause.
  output->context_ = pa_context_new(api, "Quorwind");
  if (!output->context_) return;
  pa_context_set_state_callback(output->context_, OnContextState, output);
  output->reconnecting_ = true;
  if (output->retry_timer_) {
    pa_context_rttime_restart(output->context_, output->retry_timer_,
                              pa_rtclock_now() + kRetryPeriod);
  } else {
    output->retry_timer_ =
        pa_context_rttime_new(output->context_, pa_rtclock_now() + kRetryPeriod, OnRetry, output);
  }
}

void PulseOutput::OnRetry(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* self) {
  auto* output = static_cast<PulseOutput*>(self);
  // The sound goes on without a server: what was due is dropped, and past
  // the source's end nothing is tried any more.
  output->TakeUpAt(output->FrameHeardIn(0));
  if (output->source_ended_) {
    api->time_free(event);
    output->retry_timer_ = nullptr;
    return;
  }
  if (pa_context_connect(output->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    output->OnServerLost();  // a fresh context, and another try later
  }
}

std::uint64_t PulseOutput::FrameHeardIn(pa_usec_t ahead) const {
  const double due =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - first_heard_).count() +
      lead_ + static_cast<double>(ahead) / 1e6;
  return due <= 0 ? 0 : static_cast<std::uint64_t>(due * source_->SampleRate());
}

void PulseOutput::SkipTo(std::uint64_t frame) {
  std::vector<std::uint8_t> dropped(4096 * source_->FrameBytes());
  while (!source_ended_ && read_frames_ < frame) {
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(4096, frame - read_frames_));
    const std::size_t got = source_->Read(dropped.data(), wanted);
    read_frames_ += got;
    if (got < wanted) source_ended_ = true;
  }
}

void PulseOutput::TakeUpAt(std::uint64_t frame) {
  if (frame < read_frames_) {
    const std::uint64_t back = source_->Rewind(read_frames_ - frame);
    read_frames_ -= back;
    if (back > 0) source_ended_ = false;
  }
  SkipTo(frame);
}

void PulseOutput::ResumeOnNewServer() {
  reconnecting_ = false;
  // The new stream's first frame is heard after the sink's latency: it is
  // the frame due then. The frames the lost server held are taken again;
  // those no longer kept leave silence in their place.
  const std::uint64_t start = FrameHeardIn(sink_latency_ + kRestartDelay);
  TakeUpAt(start);
  if (source_ended_) return;
  silence_due_ = read_frames_ - std::min(read_frames_, start);
  written_ = 0;
  timeline_offsets_ = {{0, static_cast<std::int64_t>(read_frames_ - silence_due_)}};
  resumed_at_ = std::chrono::steady_clock::now();
  realigned_at_ = resumed_at_;
  wrote_any_ = false;
  if (!ConnectStream()) {
    OnServerLost();
    return;
  }
  steering_timer_ = pa_context_rttime_new(context_, pa_rtclock_now() + kPulseSteeringPeriod,
                                          OnSteeringTimer, this);
}

double PulseOutput::TimelineFrameAt(double frame) const {
  auto entry = timeline_offsets_.rbegin();
  while (entry + 1 != timeline_offsets_.rend() && static_cast<double>(entry->first) > frame) {
    ++entry;
  }
  return frame + static_cast<double>(entry->second);
}

void PulseOutput::Realign(double late) {
  const auto now = std::chrono::steady_clock::now();
  if (now - resumed_at_ > kRealignWindow) {
    // Aligned: the buffer deepens now, as a shift must reach the ear
    // before the next is measured.
    resumed_at_ = {};
    DeepenBuffer();
    return;
  }
  if (now - realigned_at_ < kRealignPause || std::abs(late) < kLargestMisalignment) return;
  realigned_at_ = now;
  const auto frames = static_cast<std::int64_t>(late * source_->SampleRate());
  if (frames > 0) {
    // Heard late: the frames due meanwhile are dropped, less what silence
    // was still to come.
    const auto from_silence = std::min<std::uint64_t>(silence_due_, frames);
    silence_due_ -= from_silence;
    SkipTo(read_frames_ + static_cast<std::uint64_t>(frames) - from_silence);
  } else {
    silence_due_ += static_cast<std::uint64_t>(-frames);
  }
  timeline_offsets_.emplace_back(written_, static_cast<std::int64_t>(read_frames_) -
                                               static_cast<std::int64_t>(written_ + silence_due_));
}

}  // namespace quorwind::mci
