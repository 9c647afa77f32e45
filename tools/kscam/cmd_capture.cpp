// Commands that run the capture pin: capture (frames to files), stream (raw BGRA to standard
// output) and bench stream (frames per second through the whole stack).
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "client/kscam_client.h"
#include "client/stream.h"
#include "emulator/frame_counter.h"
#include "emulator/scene.h"
#include "property/camera_property_set.h"
#include "tools/kscam/command.h"
#include "tools/kscam/image_files.h"

namespace kscam::tool {
namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------------------------
// Options shared by the stream commands

struct StreamSetup {
  struct Assignment {
    ULONG id;
    int32_t value;
  };
  std::vector<Assignment> sets;
  std::optional<std::array<int32_t, 5>> region;
  std::shared_ptr<const emulator::Scene> scene;  // null: the built-in chart
  emulator::Speed speed = emulator::Speed::RealTime;
  uint32_t trigger_ms = 0;
  uint32_t timeout_ms = 5000;
};

// A whole number in lo..hi for option `name`; nothing (with the message printed) otherwise.
std::optional<uint32_t> ParseCount(const Args& args, const char* name, uint32_t fallback, uint32_t lo, uint32_t hi,
                                   int* exit_status) {
  const auto text = args.Value(name);
  if (!text) return fallback;
  const auto n = client::ParseNumber(*text);
  if (!n || *n < 0 || static_cast<uint32_t>(*n) < lo || static_cast<uint32_t>(*n) > hi) {
    const std::string shown = std::string(name) == "count" ? "-n" : "--" + std::string(name);
    *exit_status = Usage("option '" + shown + "' takes a whole number " + std::to_string(lo) + ".." +
                         std::to_string(hi) + ", not '" + *text + "'");
    return std::nullopt;
  }
  return static_cast<uint32_t>(*n);
}

// Returns 0, or the exit status after printing why the options cannot be used.
int ParseStreamSetup(const Args& args, StreamSetup* setup) {
  if (!args.positional.empty()) return Usage("unexpected argument '" + args.positional.front() + "'");
  for (const std::string& pair : args.Values("set")) {
    const size_t eq = pair.find('=');
    if (eq == std::string::npos) return Usage("--set needs NAME=VALUE, not '" + pair + "'");
    const std::string name = pair.substr(0, eq);
    const auto id = client::FindCameraProperty(name);
    if (!id) return Usage("unknown control '" + name + "' (see 'kscam list-ctrls')");
    if (*id == kPropRegion) return Usage("use --region X,Y,W,H[,S] to set the region");
    const auto value = client::ParseNumber(pair.substr(eq + 1));
    if (!value) return Usage("malformed number '" + pair.substr(eq + 1) + "' for " + name + " (decimal or 0x hex, 32 bits)");
    setup->sets.push_back({*id, *value});
  }
  if (auto text = args.Value("region")) {
    std::vector<int32_t> v;
    std::stringstream parts(*text);
    std::string part;
    while (std::getline(parts, part, ',')) {
      const auto n = client::ParseNumber(part);
      if (!n) return Usage("malformed number '" + part + "' in --region (expected X,Y,W,H[,S])");
      v.push_back(*n);
    }
    if (v.size() != 4 && v.size() != 5) return Usage("--region takes X,Y,W,H[,S], not '" + *text + "'");
    if (v.size() == 4) v.push_back(0);
    setup->region = std::array<int32_t, 5>{v[0], v[1], v[2], v[3], v[4]};
  }
  if (auto scene = args.Value("scene"); scene && *scene != "chart") {
    std::string error;
    setup->scene = emulator::Scene::FromImageFile(*scene, &error);
    if (!setup->scene) return Usage("cannot use scene " + error);
  }
  if (auto speed = args.Value("speed")) {
    if (*speed == "realtime") {
      setup->speed = emulator::Speed::RealTime;
    } else if (*speed == "max") {
      setup->speed = emulator::Speed::AsFastAsPossible;
    } else {
      return Usage("--speed is realtime or max, not '" + *speed + "'");
    }
  }
  int status = kExitOk;
  const auto trigger = ParseCount(args, "trigger-ms", 0, 1, 3'600'000, &status);
  if (!trigger) return status;
  setup->trigger_ms = args.Value("trigger-ms") ? *trigger : 0;
  const auto timeout = ParseCount(args, "timeout-ms", 5000, 1, 3'600'000, &status);
  if (!timeout) return status;
  setup->timeout_ms = *timeout;
  return kExitOk;
}

// Checks every --set against the camera's property set before anything changes.
int CheckStreamSetup(const StreamSetup& setup, client::Filter& filter) {
  for (const auto& a : setup.sets) {
    const char* name = client::CameraPropertyName(a.id);
    if (a.id == kPropSensorRegisterWrite || a.id == kPropRawCommand || a.id == kPropMemoryByte) {
      return Usage(std::string("'") + name + "' is not a single value (see 'kscam --help')");
    }
    if (!(filter.Access(a.id) & KSPROPERTY_TYPE_SET)) return Usage(std::string("'") + name + "' cannot be set (read only)");
  }
  return kExitOk;
}

// Applies --set and --region (after CheckStreamSetup, so a refused name changes nothing), and
// points the emulated camera at its scene and pace.
int ApplyStreamSetup(const StreamSetup& setup, client::Filter& filter, client::Camera& camera) {
  if (int checked = CheckStreamSetup(setup, filter)) return checked;
  for (const auto& a : setup.sets) {
    const NTSTATUS status = filter.Set(a.id, a.value);
    if (!NT_SUCCESS(status)) {
      return Failure(std::string("setting '") + client::CameraPropertyName(a.id) + "' failed: " + client::StatusText(status));
    }
  }
  if (setup.region) {
    const auto& r = *setup.region;
    const NTSTATUS status = filter.SetRegion(r[0], r[1], r[2], r[3], r[4]);
    if (!NT_SUCCESS(status)) return Failure("setting the region failed: " + client::StatusText(status));
  }
  if (emulator::EmulatedCamera* emulated = camera.emulated()) {
    emulated->SetSpeed(setup.speed);
    emulated->SetScene(setup.scene ? setup.scene : emulator::Scene::TestChart());
  }
  return kExitOk;
}

int32_t GetOr(client::Filter& filter, ULONG id, int32_t fallback) {
  int32_t v = fallback;
  return NT_SUCCESS(filter.Get(id, &v)) ? v : fallback;
}

// Fires the emulated camera's trigger every period until destroyed.
class TriggerClock {
 public:
  TriggerClock(emulator::EmulatedCamera* camera, uint32_t period_ms) {
    if (!camera || period_ms == 0) return;
    thread_ = std::thread([this, camera, period_ms] {
      std::unique_lock lock(mutex_);
      while (!stop_) {
        if (cv_.wait_for(lock, std::chrono::milliseconds(period_ms), [this] { return stop_; })) break;
        camera->Trigger();
      }
    });
  }
  ~TriggerClock() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

// Ctrl-C ends a stream between frames instead of killing the process mid-way, so the pin
// stops and the settings are saved as on any other exit.
std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted.store(true); }

class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
  }
  ~InterruptGuard() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
  }

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

enum class Wait { Frame, TimedOut, Failed, Interrupted };

// The next frame, waited for in short slices so that an interrupt is seen promptly.
Wait NextFrame(client::Stream& stream, client::Frame* frame, uint32_t timeout_ms, NTSTATUS* status) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (g_interrupted.load()) return Wait::Interrupted;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Wait::TimedOut;
    *status = STATUS_SUCCESS;
    if (stream.Next(frame, static_cast<uint32_t>(std::min<long long>(left, 100)), status)) return Wait::Frame;
    if (!NT_SUCCESS(*status) && *status != STATUS_TIMEOUT) return Wait::Failed;
  }
}

// The picture top row first, 4 bytes per pixel, no padding; false when the frame is smaller
// than its own format says.
bool TopDown(const client::Frame& frame, std::vector<uint8_t>* out) {
  if (frame.width <= 0 || frame.height <= 0 || frame.pitch < static_cast<ULONG>(frame.width) * 4) return false;
  const size_t row = static_cast<size_t>(frame.width) * 4;
  if (frame.data.size() < static_cast<size_t>(frame.pitch) * (frame.height - 1) + row) return false;
  out->resize(row * frame.height);
  for (LONG y = 0; y < frame.height; ++y) std::memcpy(out->data() + row * y, frame.Row(y), row);
  return true;
}

std::string NoFrameMessage(uint32_t timeout_ms, Wait wait, NTSTATUS status, bool trigger_mode, bool triggering) {
  if (wait == Wait::Failed) return "reading a frame failed: " + client::StatusText(status);
  std::string message = "no frame within " + std::to_string(timeout_ms) + " ms";
  if (trigger_mode && !triggering) message += " (ExTrigger is on: add --trigger-ms N, or --set ExTrigger=0)";
  return message;
}

// Frames lost: gaps in the picture numbers, counting from 1.
int64_t FramesLost(const std::vector<int64_t>& numbers) {
  int64_t lost = 0, previous = 0;
  for (int64_t n : numbers) {
    if (n > previous + 1) lost += n - previous - 1;
    previous = std::max(previous, n);
  }
  return lost;
}

std::string FormatFps(double fps) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", fps);
  return text;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

// The items capture.json records, in this order.
constexpr ULONG kRecordedItems[] = {
    kPropColorEnable, kPropWhiteBalance, kPropRedGain,    kPropGreenGain,  kPropBlueGain,
    kPropColorCorrection, kPropBrightness, kPropContrast, kPropSaturation, kPropHue,
    kPropDot,         kPropDotThreshold, kPropExposure,   kPropGlobalGain, kPropFlipV,
    kPropSubSample,   kPropRoiX,         kPropRoiY,       kPropRoiW,       kPropRoiH,
};

struct CapturedFrame {
  std::string file;
  std::string raw_file;  // empty without --raw or when the camera's bytes were not found
  int64_t picture_number = 0;
  int64_t presentation_time = 0;
  std::optional<uint32_t> camera_frame;
};

bool WriteCaptureJson(const std::string& path, LONG width, LONG height, const std::vector<std::pair<ULONG, int32_t>>& items,
                      const std::vector<CapturedFrame>& frames, std::string* error) {
  std::ostringstream j;
  int32_t flip_v = 0, roi_h = 0;
  for (const auto& [id, v] : items) {
    if (id == kPropFlipV) flip_v = v;
    if (id == kPropRoiH) roi_h = v;
  }
  // The camera's rule: the first line read out is green-red unless the image is flipped and
  // has an even number of lines.
  const int phase = (flip_v != 0 && (roi_h & 1) == 0) ? 1 : 0;
  j << "{\n  \"width\": " << width << ",\n  \"height\": " << height << ",\n  \"pixel_format\": \"bgra\",\n"
    << "  \"bayer_phase\": " << phase << ",\n  \"controls\": {";
  for (size_t i = 0; i < items.size(); ++i) {
    j << (i ? "," : "") << "\n    " << JsonString(client::CameraPropertyName(items[i].first)) << ": " << items[i].second;
  }
  j << "\n  },\n  \"frames\": [";
  for (size_t i = 0; i < frames.size(); ++i) {
    const CapturedFrame& f = frames[i];
    j << (i ? "," : "") << "\n    {\"file\": " << JsonString(f.file) << ", \"picture_number\": " << f.picture_number
      << ", \"presentation_time\": " << f.presentation_time << ", \"camera_frame\": ";
    if (f.camera_frame) {
      j << *f.camera_frame;
    } else {
      j << "null";
    }
    if (!f.raw_file.empty()) j << ", \"raw_file\": " << JsonString(f.raw_file);
    j << "}";
  }
  j << "\n  ]\n}\n";
  const std::string text = j.str();
  return WriteFileParts(path, {{text.data(), text.size()}}, error);
}

std::string FrameName(int64_t number, const char* extension) {
  char name[64];
  std::snprintf(name, sizeof name, "frame-%06lld.%s", static_cast<long long>(number), extension);
  return name;
}

// The mean level of a picture's brightest channel, from a sparse sample: a deep blue scene is
// not a dark one.
double MeanLevel(const std::vector<uint8_t>& bgra) {
  uint64_t sum = 0, n = 0;
  for (size_t i = 0; i + 2 < bgra.size(); i += 4 * 97) {
    sum += std::max({bgra[i], bgra[i + 1], bgra[i + 2]});
    ++n;
  }
  return n ? static_cast<double>(sum) / n : 0.0;
}

// The bytes the camera sent for camera frame `number`, from its record of sent frames.
std::optional<std::vector<uint8_t>> SentBytes(emulator::EmulatedCamera& camera, uint32_t number) {
  for (emulator::SentFrame& sent : camera.Frames()) {
    if ((sent.number & 0xFFFFFF) != number || !sent.complete || sent.data.empty()) continue;
    const size_t image = static_cast<size_t>(sent.width) * sent.height;
    sent.data.resize(std::min(sent.data.size(), image));
    return std::move(sent.data);
  }
  return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// kscam capture

int RunCapture(const Args& args) {
  StreamSetup setup;
  if (int status = ParseStreamSetup(args, &setup)) return status;
  int status = kExitOk;
  const auto count = ParseCount(args, "count", 1, 1, 1'000'000, &status);
  if (!count) return status;
  const std::string folder = args.Value("output").value_or("./frames");
  if (folder.empty()) return Usage("option '--output' needs a DIR");
  const auto format = ImageFormatNamed(args.Value("format").value_or("png"));
  if (!format) return Usage("--format is png, bmp or bgra, not '" + *args.Value("format") + "'");
  const bool raw = args.Flag("raw");

  return WithFilter(args, [&](client::Filter& filter, client::Camera& camera) {
    // The folder is made once the options are known to be good and before any control
    // changes, so neither a mistake nor an unwritable folder changes the settings.
    if (int checked = CheckStreamSetup(setup, filter)) return checked;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec || !std::filesystem::is_directory(folder)) {
      return Failure("cannot make folder " + folder + ": " + (ec ? ec.message() : "a file of that name exists"));
    }
    if (int applied = ApplyStreamSetup(setup, filter, camera)) return applied;
    std::vector<std::pair<ULONG, int32_t>> items;
    for (ULONG id : kRecordedItems) items.emplace_back(id, GetOr(filter, id, 0));
    const bool trigger_mode = GetOr(filter, kPropExTrigger, 0) != 0;
    emulator::EmulatedCamera* emulated = camera.emulated();
    if (raw && emulated) {
      // The camera goes on sending while the tool writes files: keep enough of its frames
      // (about 256 MB) that the one delivered is still there when it is looked up.
      const emulator::Readout readout = emulated->CurrentReadout();
      const uint64_t frame_bytes = std::max<uint64_t>(1, uint64_t{readout.width} * readout.height);
      emulated->KeepFrameData(std::clamp<uint64_t>((256ull << 20) / frame_bytes, 8, 64));
    }

    NTSTATUS open_status = STATUS_SUCCESS;
    std::unique_ptr<client::Stream> stream = client::Stream::Open(filter, client::StreamOptions{}, &open_status);
    if (!stream) return Failure("the capture pin could not be created: " + client::StatusText(open_status));
    const KS_VIDEOINFOHEADER format_header = stream->format();
    const LONG width = format_header.bmiHeader.biWidth;
    const LONG height = std::abs(format_header.bmiHeader.biHeight);
    InterruptGuard interrupts;
    TriggerClock trigger(emulated, setup.trigger_ms);
    NTSTATUS run_status = stream->Run();
    if (!NT_SUCCESS(run_status)) return Failure("the stream did not start: " + client::StatusText(run_status));

    const bool progress = ::isatty(STDERR_FILENO) != 0;
    std::vector<CapturedFrame> captured;
    std::vector<int64_t> numbers;
    double level_sum = 0;
    Clock::time_point first_time{}, last_time{};
    int result = kExitOk;
    bool raw_missing = false;

    // Files are written in batches of up to about 1 GB of pictures held in memory, so that the
    // stream is read at its own pace (a full-sensor PNG takes a good part of a second) and the
    // camera's bytes for a frame are looked up before it has moved far on.
    struct Held {
      CapturedFrame frame;
      std::vector<uint8_t> picture;
      std::optional<std::vector<uint8_t>> raw;
    };
    std::vector<Held> held;
    size_t held_bytes = 0;
    auto write_held = [&]() -> bool {
      for (Held& h : held) {
        std::string error;
        const std::string path = (std::filesystem::path(folder) / h.frame.file).string();
        if (!WriteImage(path, *format, h.picture.data(), static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                        &error)) {
          result = Failure("cannot write " + path + ": " + error);
          return false;
        }
        if (h.raw) {
          const std::string raw_path = (std::filesystem::path(folder) / h.frame.raw_file).string();
          if (!WriteFileParts(raw_path, {{h.raw->data(), h.raw->size()}}, &error)) {
            result = Failure("cannot write " + raw_path + ": " + error);
            return false;
          }
        }
        captured.push_back(std::move(h.frame));
      }
      held.clear();
      held_bytes = 0;
      return true;
    };

    client::Frame frame;
    while (captured.size() + held.size() < *count) {
      NTSTATUS status = STATUS_SUCCESS;
      const Wait wait = NextFrame(*stream, &frame, setup.timeout_ms, &status);
      const size_t taken = captured.size() + held.size();
      if (wait == Wait::Interrupted) {
        if (progress) std::fputc('\n', stderr);
        result = Failure("interrupted after " + std::to_string(taken) + " of " + std::to_string(*count) + " frames");
        break;
      }
      if (wait != Wait::Frame) {
        if (progress) std::fputc('\n', stderr);
        result = Failure(NoFrameMessage(setup.timeout_ms, wait, status, trigger_mode, setup.trigger_ms != 0));
        break;
      }
      last_time = Clock::now();
      if (taken == 0) first_time = last_time;
      Held h;
      if (frame.width != width || frame.height != height || !TopDown(frame, &h.picture)) {
        result = Failure("frame " + std::to_string(frame.picture_number) + " does not match the stream's format");
        break;
      }
      CapturedFrame& c = h.frame;
      c.picture_number = frame.picture_number;
      c.presentation_time = frame.presentation_time;
      c.file = FrameName(frame.picture_number, ImageFormatExtension(*format));
      const uint32_t raw_width = emulated ? emulated->CurrentReadout().width : static_cast<uint32_t>(frame.width);
      c.camera_frame = emulator::DecodeCounterBgra(h.picture.data(), static_cast<ptrdiff_t>(frame.width) * 4,
                                                   static_cast<uint32_t>(frame.width),
                                                   static_cast<uint32_t>(frame.height), raw_width);
      if (raw && emulated && c.camera_frame) h.raw = SentBytes(*emulated, *c.camera_frame);
      if (h.raw) {
        c.raw_file = FrameName(frame.picture_number, "raw");
      } else if (raw) {
        raw_missing = true;
      }
      level_sum += MeanLevel(h.picture);
      numbers.push_back(frame.picture_number);
      held_bytes += h.picture.size() + (h.raw ? h.raw->size() : 0);
      held.push_back(std::move(h));
      if (progress) {
        std::fprintf(stderr, "\rkscam: frame %zu of %u (number %lld)", taken + 1, *count,
                     static_cast<long long>(frame.picture_number));
        std::fflush(stderr);
      }
      if (held_bytes >= (1ull << 30) && !write_held()) break;
    }
    stream.reset();
    // The frames taken before a failure or an interrupt are kept too.
    if (!held.empty()) write_held();
    if (progress && result == kExitOk) std::fputs("\r\033[K", stderr);

    std::string error;
    const std::string json = (std::filesystem::path(folder) / "capture.json").string();
    if (!WriteCaptureJson(json, width, height, items, captured, &error)) {
      return Failure("cannot write " + json + ": " + error);
    }
    if (captured.empty()) return result;
    std::string closing = "captured " + std::to_string(captured.size()) + " frame" + (captured.size() == 1 ? "" : "s") +
                          " of " + std::to_string(width) + "x" + std::to_string(height) + " into " +
                          std::filesystem::absolute(folder).lexically_normal().string();
    const double seconds = std::chrono::duration<double>(last_time - first_time).count();
    if (captured.size() > 1 && seconds > 0) closing += ", " + FormatFps((captured.size() - 1) / seconds) + " frames/s";
    closing += ", " + std::to_string(FramesLost(numbers)) + " frames lost";
    std::printf("%s\n", closing.c_str());
    std::fflush(stdout);
    if (level_sum / captured.size() < 16) {
      std::fprintf(stderr,
                   "kscam: hint: the frames are nearly black; raise Exposure or GlobalGain, for example "
                   "--set Exposure=%d --set GlobalGain=%d\n",
                   GetOr(filter, kPropExposureDefault, 1200), GetOr(filter, kPropGlobalGainDefault, 32));
    }
    if (raw_missing && result == kExitOk) {
      result = Failure("some raw frames were not written: the camera's frame number could not be read (the region "
                       "needs to be at least 288 x 16) or the camera no longer held the frame");
    }
    return result;
  });
}

// ---------------------------------------------------------------------------------------------
// kscam stream

int RunStream(const Args& args) {
  StreamSetup setup;
  if (int status = ParseStreamSetup(args, &setup)) return status;
  int status = kExitOk;
  const auto count = ParseCount(args, "count", 0, 0, 0x7FFFFFFF, &status);
  if (!count) return status;
  if (::isatty(STDOUT_FILENO)) {
    return Usage("standard output is a terminal: send the frames into a program, e.g. 'kscam stream | ffmpeg ...'");
  }
  // A reader that goes away ends the stream through a failed write, not a signal.
  ::signal(SIGPIPE, SIG_IGN);

  return WithFilter(args, [&](client::Filter& filter, client::Camera& camera) {
    if (int applied = ApplyStreamSetup(setup, filter, camera)) return applied;
    const bool trigger_mode = GetOr(filter, kPropExTrigger, 0) != 0;
    NTSTATUS open_status = STATUS_SUCCESS;
    std::unique_ptr<client::Stream> stream = client::Stream::Open(filter, client::StreamOptions{}, &open_status);
    if (!stream) return Failure("the capture pin could not be created: " + client::StatusText(open_status));
    const KS_VIDEOINFOHEADER& f = stream->format();
    const LONG width = f.bmiHeader.biWidth;
    const LONG height = std::abs(f.bmiHeader.biHeight);
    const double fps = f.AvgTimePerFrame > 0 ? 1e7 / static_cast<double>(f.AvgTimePerFrame) : 0.0;
    std::fprintf(stderr,
                 "kscam: %ldx%ld bgra at %s frames/s (ffmpeg: -f rawvideo -pixel_format bgra -video_size %ldx%ld "
                 "-framerate %s -i -)\n",
                 static_cast<long>(width), static_cast<long>(height), FormatFps(fps).c_str(), static_cast<long>(width),
                 static_cast<long>(height), FormatFps(fps).c_str());
    InterruptGuard interrupts;
    TriggerClock trigger(camera.emulated(), setup.trigger_ms);
    NTSTATUS run_status = stream->Run();
    if (!NT_SUCCESS(run_status)) return Failure("the stream did not start: " + client::StatusText(run_status));

    client::Frame frame;
    std::vector<uint8_t> picture;
    uint64_t written = 0;
    for (;;) {
      if (*count != 0 && written >= *count) break;
      NTSTATUS next_status = STATUS_SUCCESS;
      const Wait wait = NextFrame(*stream, &frame, setup.timeout_ms, &next_status);
      if (wait == Wait::Interrupted) break;
      if (wait != Wait::Frame) return Failure(NoFrameMessage(setup.timeout_ms, wait, next_status, trigger_mode, setup.trigger_ms != 0));
      if (frame.width != width || frame.height != height || !TopDown(frame, &picture)) {
        return Failure("frame " + std::to_string(frame.picture_number) + " does not match the stream's format");
      }
      if (std::fwrite(picture.data(), 1, picture.size(), stdout) != picture.size() || std::fflush(stdout) != 0) {
        if (errno == EPIPE) break;  // the reader is done
        return Failure(std::string("cannot write to standard output: ") + std::strerror(errno));
      }
      ++written;
    }
    return kExitOk;
  });
}

// ---------------------------------------------------------------------------------------------
// kscam bench stream

namespace {

double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A scratch settings folder, removed again when the bench ends.
struct ScratchFolder {
  std::filesystem::path path;
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kscam-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data())) path = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

}  // namespace

int RunBenchStream(const Args& args) {
  if (!args.positional.empty()) return Usage("unexpected argument '" + args.positional.front() + "'");
  int status = kExitOk;
  const auto count = ParseCount(args, "count", 30, 1, 100'000, &status);
  if (!count) return status;
  ScratchFolder scratch;
  if (scratch.path.empty()) return Failure(std::string("cannot make a scratch folder: ") + std::strerror(errno));

  StreamSetup setup;
  setup.speed = emulator::Speed::AsFastAsPossible;
  setup.region = std::array<int32_t, 5>{0, 0, 4608, 3288, 0};
  setup.sets = {{kPropExposure, 1200}, {kPropGlobalGain, 32}};
  return WithFilter(scratch.path / "settings.reg", [&](client::Filter& filter, client::Camera& camera) {
    if (int applied = ApplyStreamSetup(setup, filter, camera)) return applied;
    NTSTATUS open_status = STATUS_SUCCESS;
    std::unique_ptr<client::Stream> stream = client::Stream::Open(filter, client::StreamOptions{}, &open_status);
    if (!stream) return Failure("the capture pin could not be created: " + client::StatusText(open_status));
    NTSTATUS run_status = stream->Run();
    if (!NT_SUCCESS(run_status)) return Failure("the stream did not start: " + client::StatusText(run_status));
    client::Frame frame;
    std::vector<int64_t> numbers;
    // The first frame carries the start-up; the measurement begins after it.
    NTSTATUS next_status = STATUS_SUCCESS;
    if (!stream->Next(&frame, setup.timeout_ms, &next_status)) {
      return Failure(NoFrameMessage(setup.timeout_ms, Wait::TimedOut, next_status, false, false));
    }
    numbers.push_back(frame.picture_number);
    const double cpu_start = ProcessCpuSeconds();
    const Clock::time_point start = Clock::now();
    for (uint32_t i = 0; i < *count; ++i) {
      if (!stream->Next(&frame, setup.timeout_ms, &next_status)) {
        return Failure(NoFrameMessage(setup.timeout_ms, Wait::TimedOut, next_status, false, false));
      }
      numbers.push_back(frame.picture_number);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = ProcessCpuSeconds() - cpu_start;
    stream.reset();

    // The memory reference: one delivered frame copied, in the same run.
    std::vector<uint8_t> copy(frame.data.size());
    std::vector<double> copy_ms;
    for (int i = 0; i < 5; ++i) {
      const auto t0 = Clock::now();
      std::memcpy(copy.data(), frame.data.data(), frame.data.size());
      asm volatile("" : : "r"(copy.data()) : "memory");
      copy_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(copy_ms.begin(), copy_ms.end());
    const double fps = *count / seconds;
    std::printf(
        "{\"case\": \"stream\", \"width\": %ld, \"height\": %ld, \"frames\": %u, \"seconds\": %.3f, \"fps\": %.2f, "
        "\"ms_per_frame\": %.3f, \"cpu_s_per_frame\": %.4f, \"frames_lost\": %lld, \"memcpy_ms\": %.3f, "
        "\"ratio_memcpy\": %.2f}\n",
        static_cast<long>(frame.width), static_cast<long>(frame.height), *count, seconds, fps, 1000.0 / fps,
        cpu / *count, static_cast<long long>(FramesLost(numbers) - (numbers.front() - 1)), copy_ms[2],
        (1000.0 / fps) / copy_ms[2]);
    return kExitOk;
  });
}

}  // namespace kscam::tool
