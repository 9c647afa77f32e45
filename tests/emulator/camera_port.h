// A small synchronous USB port for driving the emulated camera in tests the way the driver
// does: 64-byte command packets, reply packets, frames read as chains of 64 KiB transfers.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "emulator/camera.h"
#include "emulator/scene.h"

namespace kscam::emulator::testing {

using namespace std::chrono_literals;

// How long a test waits for something that is meant to happen. Generous: a full-sensor
// picture takes seconds to draw under the sanitizers on a loaded machine. Tests that expect
// nothing to happen pass their own short wait.
inline constexpr std::chrono::milliseconds kPatience = 60s;
using usb::TransferStatus;

// One submitted transfer and its outcome.
class Pending {
 public:
  static std::shared_ptr<Pending> Submit(usb::UsbDevice& device, uint8_t endpoint, uint8_t* buffer,
                                         uint32_t length) {
    auto p = std::make_shared<Pending>();
    p->transfer = std::make_shared<usb::Transfer>();
    p->transfer->endpoint = endpoint;
    p->transfer->buffer = buffer;
    p->transfer->length = length;
    std::weak_ptr<Pending> weak = p;
    p->transfer->complete = [weak](TransferStatus s, uint32_t actual) {
      if (auto self = weak.lock()) {
        std::lock_guard lk(self->mu);
        ++self->completions;
        self->status = s;
        self->actual = actual;
        self->cv.notify_all();
      }
    };
    device.Submit(p->transfer);
    return p;
  }

  // True once completed (within `timeout`).
  bool Wait(std::chrono::milliseconds timeout = kPatience) {
    std::unique_lock lk(mu);
    return cv.wait_for(lk, timeout, [&] { return completions > 0; });
  }
  bool Done() {
    std::lock_guard lk(mu);
    return completions > 0;
  }

  std::shared_ptr<usb::Transfer> transfer;
  std::mutex mu;
  std::condition_variable cv;
  int completions = 0;
  TransferStatus status = TransferStatus::Error;
  uint32_t actual = 0;
};

using Packet = std::array<uint8_t, 64>;

// Capture-mode programming, as the driver's settings hold it.
struct Mode {
  uint32_t x = 0, y = 0, w = 4608, h = 3288;
  uint32_t sub_sample = 0;
  bool flip = false;
  uint32_t exposure = 1200;
  uint32_t gain = 32;
  bool trigger = false;
  uint32_t clock = 0;
};

class Port {
 public:
  explicit Port(EmulatedCamera& camera, bool configure = true) : cam(camera) {
    if (configure) cam.SetConfiguration(1);
  }

  bool Send(const Packet& p) {
    Packet copy = p;
    auto t = Pending::Submit(cam, kCommandEndpoint, copy.data(), 64);
    return t->Wait() && t->status == TransferStatus::Success && t->actual == 64;
  }
  std::optional<Packet> Receive(std::chrono::milliseconds timeout = kPatience) {
    Packet p{};
    auto t = Pending::Submit(cam, kReplyEndpoint, p.data(), 64);
    if (!t->Wait(timeout)) {
      cam.Cancel(t->transfer.get());
      t->Wait();
      return std::nullopt;
    }
    if (t->status != TransferStatus::Success || t->actual != 64) return std::nullopt;
    return p;
  }

  static Packet Command(std::initializer_list<uint8_t> bytes) {
    Packet p{};
    size_t i = 0;
    for (uint8_t b : bytes) p[i++] = b;
    return p;
  }

  void WriteSensor(uint16_t address, uint16_t value) {
    Send(Command({0x04, uint8_t(address >> 8), uint8_t(address), uint8_t(value >> 8), uint8_t(value)}));
  }
  std::optional<uint16_t> ReadSensor(uint16_t address, std::chrono::milliseconds timeout = kPatience) {
    if (!Send(Command({0x0C, uint8_t(address >> 8), uint8_t(address), 0x88, 0x88}))) return std::nullopt;
    if (!Receive(timeout)) return std::nullopt;
    auto second = Receive(timeout);
    if (!second) return std::nullopt;
    return uint16_t((*second)[0] << 8 | (*second)[1]);
  }
  void WriteController(uint8_t index, uint8_t value) { Send(Command({0x25, index, value})); }
  std::optional<uint8_t> ReadMemory(uint16_t offset) {
    if (!Send(Command({0x41, 0x51, 0x02, 0x01, uint8_t(offset >> 8), uint8_t(offset)}))) return std::nullopt;
    if (!Receive()) return std::nullopt;
    auto second = Receive();
    if (!second) return std::nullopt;
    return (*second)[0];
  }
  void SetFrameBytes(uint32_t bytes) {
    for (uint8_t i = 0; i < 4; ++i) WriteController(i, uint8_t(bytes >> (8 * i)));
  }

  // The sensor program's writes that matter to the model (reset, clocks, streaming); the long
  // analogue tables of the real program change nothing here.
  void LoadSensorProgram() {
    WriteSensor(0x301A, 0x0001);
    WriteController(15, 0);
    WriteSensor(0x301A, 0x10D0);
    WriteSensor(0x0008, 0x0150);
    WriteSensor(0x301A, 0x10D8);
    for (auto [a, v] : {std::pair{0x0300, 8}, {0x0302, 2}, {0x0304, 2}, {0x0306, 0x20}, {0x0308, 8}, {0x030A, 2}})
      WriteSensor(uint16_t(a), uint16_t(v));
    WriteSensor(0x0112, 0x0C0C);
    WriteSensor(0x301A, 0x10DC);
    WriteSensor(0x0103, 0x0001);
    WriteSensor(0x301A, 0x0010);
    WriteSensor(0x0100, 0x0000);
    WriteSensor(0x3012, 0x0D66);
    WriteSensor(0x0100, 0x0000);
    WriteSensor(0x301A, 0x10DC);
  }

  // The driver's capture-mode programming; returns frame_bytes.
  uint32_t Configure(const Mode& m) {
    LoadSensorProgram();
    uint16_t divider = m.clock == 1 ? 4 : m.clock == 2 ? 1 : 2;
    WriteSensor(0x0302, divider);
    WriteSensor(0x030A, divider);
    uint32_t rm = ReadSensor(0x3040).value_or(0);
    uint32_t rx = m.x, ry = m.y, rw = m.w, rh = m.h, ow = m.w, oh = m.h;
    if (m.sub_sample == 1) rx = ry = 0, rw = 4608, rh = 3288, ow = 2304, oh = 1644;
    if (m.sub_sample == 2) rx = ry = 0, rw = 4608, rh = 3288, ow = 1152, oh = 822;
    uint32_t xs = (rx + 27) & ~3u, xe = xs + rw - 1, ys = (ry + 7) & ~3u, ye = ys + rh - 1;
    uint32_t mode = (rm & 0xF200) | (m.sub_sample == 0 ? 0x41 : m.sub_sample == 1 ? 0xC3 : 0x1C7);
    uint32_t out_w = m.sub_sample == 2 ? (ow + 3) & ~3u : m.sub_sample == 1 ? (ow + 1) & ~1u : ow;
    uint32_t out_h = m.sub_sample == 2 ? (oh + 3) & ~3u : m.sub_sample == 1 ? (oh + 1) & ~1u : oh;
    uint32_t line = std::max(out_w + 312, 2518u);
    WriteSensor(0x0104, 1);
    WriteSensor(0x3040, uint16_t(mode));
    WriteSensor(0x0344, uint16_t(xs));
    WriteSensor(0x0348, uint16_t(xe));
    WriteSensor(0x0346, uint16_t(ys));
    WriteSensor(0x034A, uint16_t(ye));
    WriteSensor(0x0400, 0);
    WriteSensor(0x0404, 16);
    WriteSensor(0x034C, uint16_t(out_w));
    WriteSensor(0x034E, uint16_t(out_h));
    WriteSensor(0x0342, uint16_t(line));
    WriteSensor(0x0340, uint16_t(out_h + 248));
    WriteSensor(0x3010, 0x0094);
    WriteSensor(0x3014, 0x03FC);
    ReadSensor(0x30D4);
    ReadSensor(0x3044);
    ReadSensor(0x301A);
    WriteSensor(0x301A, 0x10DE);
    uint32_t frame_bytes = (ow * oh + 2047) & ~2047u;
    SetFrameBytes(frame_bytes);
    Send(Command({0x0A, 0x01}));
    WriteController(14, 0);
    WriteSensor(0x3046, 0);
    WriteSensor(0x3048, 0x20);
    WriteSensor(0x3162, 0x9F);
    WriteController(11, m.trigger ? 0x25 : 0x00);
    WriteSensor(0x3012, uint16_t(m.exposure));
    WriteSensor(0x305E, uint16_t(0x1100 | (m.gain & 0x7F)));
    SetFlip(m.flip);
    return frame_bytes;
  }

  void SetFlip(bool on) {
    uint32_t rm = ReadSensor(0x3040).value_or(0);
    WriteSensor(0x3040, uint16_t(on ? rm | 0x8000 : rm & 0x7FFF));
  }

  // Queues the frame's chunk transfers between the frame commands, as the driver does.
  std::vector<std::shared_ptr<Pending>> StartFrame(std::vector<uint8_t>& buffer) {
    Send(Command({0x02}));
    Send(Command({0x02}));
    std::vector<std::shared_ptr<Pending>> chunks;
    for (size_t at = 0; at < buffer.size(); at += 65536)
      chunks.push_back(Pending::Submit(cam, kFrameEndpoint, buffer.data() + at,
                                       uint32_t(std::min<size_t>(65536, buffer.size() - at))));
    Send(Command({0x03}));
    return chunks;
  }

  // Reads one frame of `frame_bytes`; nothing when a chunk failed or it did not come in time
  // (then every chunk is cancelled and awaited).
  std::optional<std::vector<uint8_t>> ReadFrame(uint32_t frame_bytes, std::chrono::milliseconds timeout = 2 * kPatience) {
    std::vector<uint8_t> buffer(frame_bytes, 0xAB);
    auto chunks = StartFrame(buffer);
    bool ok = true;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (auto& c : chunks) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (!c->Wait(std::max(left, 0ms))) {
        ok = false;
        break;
      }
    }
    if (!ok)
      for (auto& c : chunks) cam.Cancel(c->transfer.get());
    for (auto& c : chunks) {
      c->Wait();
      ok = ok && c->status == TransferStatus::Success;
    }
    if (!ok) return std::nullopt;
    return buffer;
  }

  EmulatedCamera& cam;
};

// Options for exact pixel checks: no noise, no defect pixels.
inline CameraOptions Clean(std::shared_ptr<const Scene> scene = nullptr) {
  CameraOptions o;
  o.noise_sigma = 0;
  o.defect_rate = 0;
  o.scene = std::move(scene);
  return o;
}

// One chart for all tests of the process: it takes a moment to draw.
inline std::shared_ptr<const Scene> SharedChart() {
  static std::shared_ptr<const Scene> chart = Scene::TestChart();
  return chart;
}

}  // namespace kscam::emulator::testing
