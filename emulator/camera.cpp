#include "emulator/camera.h"

#include <algorithm>
#include <cstring>

#include "emulator/device_memory.h"
#include "emulator/frame_counter.h"

namespace kscam::emulator {

using Clock = std::chrono::steady_clock;
using usb::Transfer;
using usb::TransferStatus;

namespace {

constexpr size_t kCommandRecordLimit = 200'000;
constexpr size_t kFrameRecordLimit = 100'000;
constexpr size_t kWriteRecordLimit = 1'000'000;

// Keeps a record list below its limit by dropping its older half.
template <typename T>
void Trim(std::vector<T>& record) {
  if (record.size() > kWriteRecordLimit) record.erase(record.begin(), record.begin() + record.size() / 2);
}
constexpr uint8_t kTriggerRegister = 11;
constexpr uint8_t kTriggerOn = 0x25;

int EndpointSlot(uint8_t endpoint) {
  switch (endpoint) {
    case kCommandEndpoint: return 0;
    case kReplyEndpoint: return 1;
    case kFrameEndpoint: return 2;
    default: return -1;
  }
}

// What the mosaic depends on; a new one is rendered only when this changes.
struct MosaicKey {
  const Scene* scene = nullptr;
  Readout readout;
  uint32_t exposure = 0, gain = 0;
  uint64_t bytes_needed = 0;
  bool operator==(const MosaicKey&) const = default;
};

}  // namespace

struct EmulatedCamera::Impl {
  explicit Impl(CameraOptions o)
      : options(std::move(o)),
        memory(kMemorySize, 0xFF),
        speed(options.speed),
        scene(options.scene),
        defects(std::make_shared<const std::vector<Defect>>(MakeDefects(options.seed, options.defect_rate))),
        noise(std::make_shared<const NoiseTable>(options.seed, options.noise_sigma)) {
    auto put = [&](uint16_t offset, uint16_t size, const std::string& text) {
      std::memset(memory.data() + offset, 0, size);
      std::memcpy(memory.data() + offset, text.data(), std::min<size_t>(text.size(), size - 1));
    };
    put(kSerialOffset, kSerialSize, options.serial);
    put(kFirmwareOffset, kFirmwareSize, options.firmware);
  }

  struct Done {
    std::shared_ptr<Transfer> transfer;
    TransferStatus status;
    uint32_t actual;
  };
  struct Reply {
    std::array<uint8_t, kPacketSize> data{};
    uint32_t length = kPacketSize;
    Clock::time_point ready;
  };
  enum class ReplyFault { None, Drop, Short, Delay };
  enum class FrameState { Idle, Armed, Waiting, Sending };
  struct Job {
    uint32_t number = 0;
    uint32_t frame_bytes = 0;
    uint64_t sent = 0;
    uint32_t next_chunk = 0;
    std::shared_ptr<const Mosaic> mosaic;
    std::shared_ptr<const NoiseTable> noise;
    uint64_t noise_start = 0;
    bool keep = false;
    std::vector<uint8_t> data;
  };
  struct ChunkFaultPlan {
    uint32_t chunk;
    ChunkFault fault;
    uint32_t short_bytes;
    int frames;
  };

  CameraOptions options;
  mutable std::mutex mu;
  std::condition_variable cv;
  std::thread worker;
  bool stop = false;

  // USB side.
  bool connected = true;
  uint64_t plug_epoch = 0;  // raised on every unplug, so work taken up before it is dropped
  uint8_t configuration = 0;
  std::deque<std::shared_ptr<Transfer>> queues[3];
  bool stalled[3] = {};
  std::optional<std::vector<uint8_t>> device_override, config_override;
  std::vector<Done> finished;

  // Camera side.
  Sensor sensor;
  std::array<uint8_t, 256> controller{};
  std::vector<uint8_t> memory;
  std::deque<Reply> replies;
  ReplyFault reply_fault = ReplyFault::None;
  uint32_t reply_short_bytes = 0;
  std::chrono::milliseconds reply_delay{0};
  int reply_fault_count = 0;

  FrameState frame_state = FrameState::Idle;
  std::shared_ptr<Job> job;
  uint32_t frames_produced = 0;
  bool trigger_latched = false;
  bool withhold = false;
  std::optional<ChunkFaultPlan> chunk_fault;
  Speed speed;
  // Real-time frame clock: frame rt_base + k is ready at rt_epoch + k * rt_period.
  Clock::time_point rt_epoch;
  uint32_t rt_base = 0;
  std::chrono::nanoseconds rt_period{1};
  bool rt_running = false;
  Clock::time_point go_time;  // when the waiting frame was asked for
  uint64_t rt_generation = ~0ull;

  std::shared_ptr<const Scene> scene;
  std::shared_ptr<const std::vector<Defect>> defects;
  std::shared_ptr<const NoiseTable> noise;
  std::shared_ptr<const Mosaic> mosaic;
  MosaicKey mosaic_key;
  std::vector<uint8_t> row_scratch;  // worker only

  // Record.
  std::deque<ReceivedCommand> commands_rec;
  std::vector<SensorWrite> sensor_writes;
  std::vector<ControllerWrite> controller_writes;
  std::vector<std::vector<uint8_t>> raw_commands;
  std::deque<SentFrame> frames_rec;  // without data
  std::deque<std::pair<size_t, std::vector<uint8_t>>> kept_data;  // (index in frames_rec
                                                                  // counting from the first
                                                                  // ever recorded, bytes)
  size_t frames_recorded = 0;
  size_t keep_frames = 0;

  // ---- helpers, all with `mu` held ----

  void Finish(std::shared_ptr<Transfer> t, TransferStatus s, uint32_t actual) {
    finished.push_back(Done{std::move(t), s, actual});
  }

  void FlushQueue(int slot, TransferStatus s) {
    for (auto& t : queues[slot]) Finish(std::move(t), s, 0);
    queues[slot].clear();
  }

  const Scene& SceneLocked() {
    if (!scene) scene = Scene::TestChart();
    return *scene;
  }

  uint32_t FrameBytes() const {
    return uint32_t(controller[0]) | uint32_t(controller[1]) << 8 | uint32_t(controller[2]) << 16 |
           uint32_t(controller[3]) << 24;
  }

  bool TriggerMode() const { return controller[kTriggerRegister] == kTriggerOn; }

  void RecordFrame(Job& j, bool complete) {
    const Readout r = j.mosaic ? j.mosaic->readout() : Readout{};
    frames_rec.push_back(SentFrame{j.number, j.frame_bytes, j.sent, complete, r.width, r.height, {}});
    if (frames_rec.size() > kFrameRecordLimit) frames_rec.pop_front();
    if (j.keep) kept_data.emplace_back(frames_recorded, std::move(j.data));
    ++frames_recorded;
    while (kept_data.size() > keep_frames) kept_data.pop_front();
  }

  void AbandonFrame() {
    if (frame_state == FrameState::Sending && job) RecordFrame(*job, false);
    job.reset();
    frame_state = FrameState::Idle;
  }

  // Keeps the real-time frame clock in step with the sensor's timing and streaming.
  void UpdateFrameClock(Clock::time_point now) {
    if (sensor.timing_generation() == rt_generation) return;
    if (rt_running) {
      auto elapsed = now - rt_epoch;
      rt_base += uint32_t(elapsed / rt_period);
      frames_produced = std::max(frames_produced, rt_base);
    }
    rt_generation = sensor.timing_generation();
    rt_running = sensor.Streaming();
    rt_period = std::max(sensor.FramePeriod(), std::chrono::nanoseconds(1));
    rt_epoch = now;
    rt_base = frames_produced;
  }

  void QueueReply(const std::array<uint8_t, kPacketSize>& data, Clock::time_point now) {
    Reply r;
    r.data = data;
    r.ready = now;
    if (reply_fault != ReplyFault::None && reply_fault_count != 0) {
      if (reply_fault_count > 0) --reply_fault_count;
      switch (reply_fault) {
        case ReplyFault::Drop: return;
        case ReplyFault::Short: r.length = std::min<uint32_t>(reply_short_bytes, kPacketSize); break;
        case ReplyFault::Delay: r.ready = now + reply_delay; break;
        case ReplyFault::None: break;
      }
    }
    replies.push_back(r);
  }

  void Execute(const std::array<uint8_t, kPacketSize>& p, uint32_t length, Clock::time_point now) {
    commands_rec.push_back(ReceivedCommand{now, p, length});
    if (commands_rec.size() > kCommandRecordLimit) commands_rec.pop_front();
    switch (p[0]) {
      case 0x02:
        AbandonFrame();
        frame_state = FrameState::Armed;
        break;
      case 0x03:
        if (frame_state == FrameState::Armed) {
          frame_state = FrameState::Waiting;
          go_time = now;
        }
        break;
      case 0x04: {
        uint16_t address = uint16_t(p[1] << 8 | p[2]), value = uint16_t(p[3] << 8 | p[4]);
        sensor_writes.push_back(SensorWrite{address, value});
        Trim(sensor_writes);
        sensor.Write(address, value);
        break;
      }
      case 0x06:
        AbandonFrame();
        trigger_latched = false;
        break;
      case 0x0C: {
        uint16_t value = sensor.Read(uint16_t(p[1] << 8 | p[2]));
        QueueReply(p, now);
        std::array<uint8_t, kPacketSize> answer{};
        answer[0] = uint8_t(value >> 8);
        answer[1] = uint8_t(value);
        QueueReply(answer, now);
        break;
      }
      case 0x25:
        controller_writes.push_back(ControllerWrite{p[1], p[2]});
        Trim(controller_writes);
        controller[p[1]] = p[2];
        if (!TriggerMode()) trigger_latched = false;
        break;
      case 0x40:
        raw_commands.emplace_back(p.begin() + 1, p.begin() + std::max<uint32_t>(1, std::min(length, kPacketSize)));
        Trim(raw_commands);
        break;
      case 0x41: {
        QueueReply(p, now);
        std::array<uint8_t, kPacketSize> answer{};
        answer[0] = memory[uint16_t(p[4] << 8 | p[5])];
        QueueReply(answer, now);
        break;
      }
      default:
        break;  // 0x0A and unknown codes: recorded only
    }
  }

  // The time the waiting frame becomes ready, or nothing while it cannot come at all.
  std::optional<Clock::time_point> FrameReadyTime(Clock::time_point now, uint32_t* number) {
    if (!sensor.Streaming() || withhold) return std::nullopt;
    if (TriggerMode()) {
      if (!trigger_latched) return std::nullopt;
      *number = frames_produced + 1;
      return now;
    }
    if (speed == Speed::AsFastAsPossible) {
      *number = frames_produced + 1;
      return now;
    }
    UpdateFrameClock(now);
    // The first frame boundary at or after the request (and after the last frame taken);
    // a request made as streaming starts waits one whole frame.
    auto since = std::max(go_time, rt_epoch) - rt_epoch;
    uint64_t k = std::max<uint64_t>(1, uint64_t((since + rt_period - std::chrono::nanoseconds(1)) / rt_period));
    if (rt_base + k <= frames_produced) k = frames_produced - rt_base + 1;
    *number = uint32_t(rt_base + k);
    return rt_epoch + std::chrono::duration_cast<Clock::duration>(rt_period * int64_t(k));
  }

  // One unit of work; false when there is nothing to do before `*deadline` (if set).
  bool Step(std::unique_lock<std::mutex>& lk, std::optional<Clock::time_point>* deadline) {
    auto now = Clock::now();
    if (!connected) return false;

    if (!queues[0].empty()) {
      // A longer transfer is several packets on the wire; a partial last one is zero-padded.
      auto t = std::move(queues[0].front());
      queues[0].pop_front();
      const uint32_t length = t->length;
      for (uint32_t at = 0; at < length; at += kPacketSize) {
        std::array<uint8_t, kPacketSize> p{};
        uint32_t n = std::min(kPacketSize, length - at);
        std::memcpy(p.data(), t->buffer + at, n);
        Execute(p, n, now);
      }
      Finish(std::move(t), TransferStatus::Success, length);
      return true;
    }

    if (!replies.empty() && !queues[1].empty() && !stalled[1]) {
      if (replies.front().ready <= now) {
        Reply r = replies.front();
        replies.pop_front();
        auto t = std::move(queues[1].front());
        queues[1].pop_front();
        uint32_t n = std::min(r.length, t->length);
        std::memcpy(t->buffer, r.data.data(), n);
        TransferStatus s = TransferStatus::Success;
        if (r.length > t->length || (n < t->length && !t->short_ok)) s = TransferStatus::Error;
        Finish(std::move(t), s, n);
        return true;
      }
      *deadline = replies.front().ready;
    }

    if (frame_state == FrameState::Waiting) {
      uint32_t number = 0;
      auto ready = FrameReadyTime(now, &number);
      if (ready && *ready <= now) {
        StartFrame(lk, number);
        return true;
      }
      if (ready && (!*deadline || *ready < **deadline)) *deadline = *ready;
    }

    if (frame_state == FrameState::Sending && !queues[2].empty() && !stalled[2]) {
      SendChunk(lk);
      return true;
    }
    return false;
  }

  void StartFrame(std::unique_lock<std::mutex>& lk, uint32_t number) {
    if (TriggerMode()) trigger_latched = false;
    frames_produced = number;
    Job j;
    j.number = number;
    j.frame_bytes = FrameBytes();
    j.keep = keep_frames > 0;
    uint64_t state = options.seed ^ (uint64_t(number) * 0x9E3779B97F4A7C15ull);
    j.noise_start = SplitMix64(state);
    j.noise = noise;
    Readout readout = sensor.CurrentReadout();
    MosaicKey key{&SceneLocked(), readout, sensor.Exposure(), sensor.GainCode(),
                  std::min<uint64_t>(uint64_t(readout.width) * readout.height, j.frame_bytes)};
    if (!mosaic || !(key == mosaic_key)) {
      // Rendering takes a while for a full sensor: do it without the lock. Only this thread
      // changes the frame state, so nothing below can move under us except an unplug.
      uint64_t epoch = plug_epoch;
      auto s = scene;
      auto d = defects;
      lk.unlock();
      auto m = std::make_shared<const Mosaic>(s, readout, key.exposure, key.gain, d, key.bytes_needed);
      lk.lock();
      if (epoch != plug_epoch || frame_state != FrameState::Waiting) return;
      mosaic = std::move(m);
      mosaic_key = key;
    }
    j.mosaic = mosaic;
    if (j.keep) j.data.reserve(j.frame_bytes);
    job = std::make_shared<Job>(std::move(j));
    frame_state = FrameState::Sending;
    if (job->frame_bytes == 0) {
      RecordFrame(*job, true);
      job.reset();
      frame_state = FrameState::Idle;
    }
  }

  // Frame bytes [offset, offset + n) of the current job into dst. Worker thread, no lock.
  void FillFrame(const Job& j, uint64_t offset, uint8_t* dst, uint32_t n) {
    const Mosaic& m = *j.mosaic;
    const uint64_t w = m.width(), image = w * m.height();
    uint64_t pos = offset, end = offset + n;
    while (pos < end && pos < image) {
      uint32_t r = uint32_t(pos / w), c = uint32_t(pos % w);
      uint32_t len = uint32_t(std::min<uint64_t>({w - c, end - pos, image - pos}));
      const uint8_t* row = m.Row(r);
      if (!row) {
        row_scratch.resize(w);
        m.RenderRow(r, row_scratch.data());
        row = row_scratch.data();
      }
      j.noise->Apply(row + c, dst + (pos - offset), len, j.noise_start + pos);
      pos += len;
    }
    if (pos < end) std::memset(dst + (pos - offset), 0, size_t(end - pos));
    if (offset < image)
      StampCounter(j.number, m.width(), m.height(), offset, dst,
                   uint32_t(std::min<uint64_t>(n, image - offset)));
  }

  void SendChunk(std::unique_lock<std::mutex>& lk) {
    auto t = std::move(queues[2].front());
    queues[2].pop_front();
    std::shared_ptr<Job> j = job;
    uint32_t chunk = j->next_chunk++;
    uint64_t remaining = j->frame_bytes - j->sent;
    uint32_t n = uint32_t(std::min<uint64_t>(t->length, remaining));
    std::optional<ChunkFault> fault;
    if (chunk_fault && chunk_fault->chunk == chunk && chunk_fault->frames != 0) {
      fault = chunk_fault->fault;
      if (*fault == ChunkFault::Short) n = std::min(n, chunk_fault->short_bytes);
      if (chunk_fault->frames > 0 && --chunk_fault->frames == 0) chunk_fault.reset();
    }
    const uint64_t offset = j->sent;
    const uint64_t epoch = plug_epoch;
    if (fault != ChunkFault::Error) {
      // The transfer is off the queue, so no one else completes it; the job is kept alive by
      // `j` even if a stall or reset abandons it meanwhile.
      lk.unlock();
      FillFrame(*j, offset, t->buffer, n);
      lk.lock();
    }
    if (epoch != plug_epoch) return Finish(std::move(t), TransferStatus::NoDevice, 0);
    if (stalled[2]) return Finish(std::move(t), TransferStatus::Stalled, 0);
    if (job != j) return Finish(std::move(t), TransferStatus::Cancelled, 0);
    j->sent += n;
    if (fault == ChunkFault::Error) {
      // The data went out but the transfer failed: it is lost.
      if (j->keep) j->data.resize(j->data.size() + n, 0);
      Finish(std::move(t), TransferStatus::Error, 0);
    } else {
      if (j->keep) j->data.insert(j->data.end(), t->buffer, t->buffer + n);
      TransferStatus status =
          n < t->length && !t->short_ok ? TransferStatus::Error : TransferStatus::Success;
      Finish(std::move(t), status, n);
    }
    if (j->sent >= j->frame_bytes) {
      RecordFrame(*j, true);
      job.reset();
      frame_state = FrameState::Idle;
    }
  }

  void Run() {
    std::unique_lock lk(mu);
    while (!stop) {
      std::optional<Clock::time_point> deadline;
      bool worked = Step(lk, &deadline);
      if (!finished.empty()) {
        std::vector<Done> done;
        done.swap(finished);
        lk.unlock();
        for (auto& d : done) {
          auto complete = std::move(d.transfer->complete);
          if (complete) complete(d.status, d.actual);
          d.transfer.reset();
        }
        lk.lock();
        continue;
      }
      if (worked) continue;
      if (deadline)
        cv.wait_until(lk, *deadline);
      else
        cv.wait(lk);
    }
  }
};

EmulatedCamera::EmulatedCamera(CameraOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
  impl_->worker = std::thread([this] { impl_->Run(); });
}

EmulatedCamera::~EmulatedCamera() {
  {
    std::lock_guard lk(impl_->mu);
    impl_->stop = true;
  }
  impl_->cv.notify_all();
  impl_->worker.join();
  std::vector<Impl::Done> done;
  {
    std::lock_guard lk(impl_->mu);
    for (int s = 0; s < 3; ++s) impl_->FlushQueue(s, TransferStatus::NoDevice);
    done.swap(impl_->finished);
  }
  for (auto& d : done)
    if (d.transfer->complete) d.transfer->complete(d.status, d.actual);
}

std::vector<uint8_t> EmulatedCamera::DeviceDescriptor() const {
  std::lock_guard lk(impl_->mu);
  if (impl_->device_override) return *impl_->device_override;
  return {18, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 64,
          uint8_t(kVendorId), uint8_t(kVendorId >> 8), uint8_t(kProductId), uint8_t(kProductId >> 8),
          0x00, 0x01, 0, 0, 0, 1};
}

std::vector<uint8_t> EmulatedCamera::ConfigurationDescriptor() const {
  std::lock_guard lk(impl_->mu);
  if (impl_->config_override) return *impl_->config_override;
  return {
      9, 0x02, 39, 0, 1, 1, 0, 0x80, 250,                // configuration 1, one interface, 500 mA
      9, 0x04, 0, 0, 3, 0xFF, 0x00, 0x00, 0,             // interface 0, three endpoints, vendor class
      7, 0x05, kCommandEndpoint, 0x02, 0x00, 0x02, 0,    // bulk OUT, 512 bytes
      7, 0x05, kReplyEndpoint, 0x02, 0x00, 0x02, 0,      // bulk IN, 512 bytes
      7, 0x05, kFrameEndpoint, 0x02, 0x00, 0x02, 0,      // bulk IN, 512 bytes
  };
}

bool EmulatedCamera::SetConfiguration(uint8_t value) {
  {
    std::lock_guard lk(impl_->mu);
    if (!impl_->connected || value > 1) return false;
    impl_->configuration = value;
    if (value == 0)
      for (int s = 0; s < 3; ++s) impl_->FlushQueue(s, TransferStatus::Cancelled);
  }
  impl_->cv.notify_all();
  return true;
}

uint8_t EmulatedCamera::Configuration() const {
  std::lock_guard lk(impl_->mu);
  return impl_->configuration;
}

void EmulatedCamera::Submit(std::shared_ptr<Transfer> transfer) {
  if (!transfer) return;
  {
    std::lock_guard lk(impl_->mu);
    int slot = EndpointSlot(transfer->endpoint);
    if (!impl_->connected)
      impl_->Finish(std::move(transfer), TransferStatus::NoDevice, 0);
    else if (impl_->configuration == 0 || slot < 0 || (transfer->length > 0 && !transfer->buffer))
      impl_->Finish(std::move(transfer), TransferStatus::Error, 0);
    else if (impl_->stalled[slot])
      impl_->Finish(std::move(transfer), TransferStatus::Stalled, 0);
    else
      impl_->queues[slot].push_back(std::move(transfer));
  }
  impl_->cv.notify_all();
}

void EmulatedCamera::Cancel(Transfer* transfer) {
  {
    std::lock_guard lk(impl_->mu);
    for (auto& q : impl_->queues) {
      auto it = std::find_if(q.begin(), q.end(), [&](const auto& t) { return t.get() == transfer; });
      if (it == q.end()) continue;
      impl_->Finish(std::move(*it), TransferStatus::Cancelled, 0);
      q.erase(it);
      break;
    }
  }
  impl_->cv.notify_all();
}

void EmulatedCamera::ResetPipe(uint8_t endpoint) {
  std::lock_guard lk(impl_->mu);
  int slot = EndpointSlot(endpoint);
  if (slot >= 0) impl_->stalled[slot] = false;
  impl_->cv.notify_all();
}

void EmulatedCamera::AbortPipe(uint8_t endpoint) {
  {
    std::lock_guard lk(impl_->mu);
    int slot = EndpointSlot(endpoint);
    if (slot >= 0) impl_->FlushQueue(slot, TransferStatus::Cancelled);
  }
  impl_->cv.notify_all();
}

void EmulatedCamera::PortReset() {
  {
    std::lock_guard lk(impl_->mu);
    if (!impl_->connected) return;
    for (int s = 0; s < 3; ++s) {
      impl_->FlushQueue(s, TransferStatus::Cancelled);
      impl_->stalled[s] = false;
    }
    impl_->AbandonFrame();
  }
  impl_->cv.notify_all();
}

bool EmulatedCamera::Connected() const {
  std::lock_guard lk(impl_->mu);
  return impl_->connected;
}

void EmulatedCamera::Trigger() {
  {
    std::lock_guard lk(impl_->mu);
    if (!impl_->connected || !impl_->sensor.Streaming() || !impl_->TriggerMode()) return;
    impl_->trigger_latched = true;
  }
  impl_->cv.notify_all();
}

void EmulatedCamera::SetSpeed(Speed speed) {
  {
    std::lock_guard lk(impl_->mu);
    impl_->speed = speed;
    impl_->rt_generation = ~0ull;  // restart the frame clock
    impl_->rt_running = false;
  }
  impl_->cv.notify_all();
}

void EmulatedCamera::SetScene(std::shared_ptr<const Scene> scene) {
  std::lock_guard lk(impl_->mu);
  impl_->scene = std::move(scene);
}

void EmulatedCamera::SetNoise(double sigma) {
  auto table = std::make_shared<const NoiseTable>(impl_->options.seed, sigma);
  std::lock_guard lk(impl_->mu);
  impl_->noise = std::move(table);
}

uint16_t EmulatedCamera::SensorRegister(uint16_t address) const {
  std::lock_guard lk(impl_->mu);
  return impl_->sensor.Read(address);
}

uint8_t EmulatedCamera::ControllerRegister(uint8_t index) const {
  std::lock_guard lk(impl_->mu);
  return impl_->controller[index];
}

uint32_t EmulatedCamera::FrameBytes() const {
  std::lock_guard lk(impl_->mu);
  return impl_->FrameBytes();
}

Readout EmulatedCamera::CurrentReadout() const {
  std::lock_guard lk(impl_->mu);
  return impl_->sensor.CurrentReadout();
}

std::chrono::nanoseconds EmulatedCamera::FramePeriod() const {
  std::lock_guard lk(impl_->mu);
  return impl_->sensor.FramePeriod();
}

bool EmulatedCamera::Streaming() const {
  std::lock_guard lk(impl_->mu);
  return impl_->sensor.Streaming();
}

uint8_t EmulatedCamera::ExpectedSample(uint32_t array_x, uint32_t array_y) const {
  std::lock_guard lk(impl_->mu);
  if (!IsActive(array_x, array_y)) return 0;
  const auto& d = *impl_->defects;
  auto it = std::lower_bound(d.begin(), d.end(), Defect{array_x, array_y, false});
  if (it != d.end() && it->x == array_x && it->y == array_y) return it->hot ? 255 : 0;
  uint16_t v = impl_->SceneLocked().Sample(array_x - kArrayFirstColumn, array_y - kArrayFirstRow);
  return RawResponse(v / 65535.0, impl_->sensor.Exposure(), impl_->sensor.GainCode());
}

std::vector<Defect> EmulatedCamera::Defects() const {
  std::lock_guard lk(impl_->mu);
  return *impl_->defects;
}

std::vector<uint8_t> EmulatedCamera::Memory() const {
  std::lock_guard lk(impl_->mu);
  return impl_->memory;
}

void EmulatedCamera::DropReplies(int count) {
  std::lock_guard lk(impl_->mu);
  impl_->reply_fault = Impl::ReplyFault::Drop;
  impl_->reply_fault_count = count;
}

void EmulatedCamera::ShortenReplies(uint32_t bytes, int count) {
  std::lock_guard lk(impl_->mu);
  impl_->reply_fault = Impl::ReplyFault::Short;
  impl_->reply_short_bytes = bytes;
  impl_->reply_fault_count = count;
}

void EmulatedCamera::DelayReplies(std::chrono::milliseconds delay, int count) {
  std::lock_guard lk(impl_->mu);
  impl_->reply_fault = Impl::ReplyFault::Delay;
  impl_->reply_delay = delay;
  impl_->reply_fault_count = count;
}

void EmulatedCamera::StallPipe(uint8_t endpoint) {
  {
    std::lock_guard lk(impl_->mu);
    int slot = EndpointSlot(endpoint);
    if (slot < 0) return;
    impl_->stalled[slot] = true;
    impl_->FlushQueue(slot, TransferStatus::Stalled);
    if (slot == 2) impl_->AbandonFrame();
  }
  impl_->cv.notify_all();
}

void EmulatedCamera::FailChunk(uint32_t chunk, ChunkFault fault, uint32_t short_bytes, int frames) {
  std::lock_guard lk(impl_->mu);
  impl_->chunk_fault = Impl::ChunkFaultPlan{chunk, fault, short_bytes, frames};
}

void EmulatedCamera::WithholdFrames(bool withhold) {
  {
    std::lock_guard lk(impl_->mu);
    impl_->withhold = withhold;
  }
  impl_->cv.notify_all();
}

void EmulatedCamera::Disconnect() {
  {
    std::lock_guard lk(impl_->mu);
    if (!impl_->connected) return;
    impl_->connected = false;
    ++impl_->plug_epoch;
    for (int s = 0; s < 3; ++s) impl_->FlushQueue(s, TransferStatus::NoDevice);
    impl_->AbandonFrame();
    impl_->replies.clear();
  }
  impl_->cv.notify_all();
}

void EmulatedCamera::Reconnect() {
  {
    std::lock_guard lk(impl_->mu);
    if (impl_->connected) return;
    impl_->connected = true;
    impl_->configuration = 0;
    impl_->sensor.Reset();
    impl_->controller.fill(0);
    impl_->replies.clear();
    for (bool& s : impl_->stalled) s = false;
    impl_->frame_state = Impl::FrameState::Idle;
    impl_->trigger_latched = false;
  }
  impl_->cv.notify_all();
}

void EmulatedCamera::OverrideDeviceDescriptor(std::optional<std::vector<uint8_t>> bytes) {
  std::lock_guard lk(impl_->mu);
  impl_->device_override = std::move(bytes);
}

void EmulatedCamera::OverrideConfigurationDescriptor(std::optional<std::vector<uint8_t>> bytes) {
  std::lock_guard lk(impl_->mu);
  impl_->config_override = std::move(bytes);
}

void EmulatedCamera::ClearFaults() {
  {
    std::lock_guard lk(impl_->mu);
    impl_->reply_fault = Impl::ReplyFault::None;
    impl_->reply_fault_count = 0;
    impl_->chunk_fault.reset();
    impl_->withhold = false;
    impl_->device_override.reset();
    impl_->config_override.reset();
  }
  impl_->cv.notify_all();
}

std::vector<ReceivedCommand> EmulatedCamera::Commands() const {
  std::lock_guard lk(impl_->mu);
  return {impl_->commands_rec.begin(), impl_->commands_rec.end()};
}

std::vector<SensorWrite> EmulatedCamera::SensorWrites() const {
  std::lock_guard lk(impl_->mu);
  return impl_->sensor_writes;
}

std::vector<ControllerWrite> EmulatedCamera::ControllerWrites() const {
  std::lock_guard lk(impl_->mu);
  return impl_->controller_writes;
}

std::vector<std::vector<uint8_t>> EmulatedCamera::RawCommands() const {
  std::lock_guard lk(impl_->mu);
  return impl_->raw_commands;
}

std::vector<SentFrame> EmulatedCamera::Frames() const {
  std::lock_guard lk(impl_->mu);
  std::vector<SentFrame> frames(impl_->frames_rec.begin(), impl_->frames_rec.end());
  size_t first = impl_->frames_recorded - frames.size();
  for (const auto& [index, data] : impl_->kept_data)
    if (index >= first) frames[index - first].data = data;
  return frames;
}

void EmulatedCamera::KeepFrameData(size_t frames) {
  std::lock_guard lk(impl_->mu);
  impl_->keep_frames = frames;
  while (impl_->kept_data.size() > frames) impl_->kept_data.pop_front();
}

void EmulatedCamera::ClearRecord() {
  std::lock_guard lk(impl_->mu);
  impl_->commands_rec.clear();
  impl_->sensor_writes.clear();
  impl_->controller_writes.clear();
  impl_->raw_commands.clear();
  impl_->frames_rec.clear();
  impl_->kept_data.clear();
  impl_->frames_recorded = 0;
}

}  // namespace kscam::emulator
