// The emulated camera: a 14-megapixel USB Bayer camera on the host's bus.
//
// USB identity: vendor 0x1209, product 0x4B53 (an unregistered pair kept for this emulator),
// device release 1.00, high speed; one configuration (value 1) with one vendor-class interface
// (number 0) of three bulk endpoints, 512-byte packets, in this order:
//   0x01 command OUT   64-byte command packets
//   0x81 reply IN      64-byte reply packets
//   0x82 frame IN      raw frames
//
// Commands (byte 0 of a packet; multi-byte fields big-endian):
//   0x02 frame prepare  discards whatever is unsent of an earlier frame and arms the next
//   0x03 frame go       the armed frame is sent once the sensor has one ready: at once while
//                       streaming as fast as possible, at the next frame time in real time,
//                       at the next trigger (one trigger is remembered) in trigger mode
//   0x04 sensor write   bytes 1-2 address, 3-4 value
//   0x06 initialise     drops the frame in progress and any remembered trigger
//   0x0A commit         recorded
//   0x0C sensor read    bytes 1-2 address; replies: the command echoed, then the value in
//                       bytes 0 (high) and 1 (low)
//   0x25 controller     byte 1 index, byte 2 value
//   0x40 raw command    recorded
//   0x41 memory read    bytes 4-5 offset; replies: the command echoed, then the byte in byte 0
// Unknown codes are recorded and otherwise ignored. Replies queue on the reply endpoint.
//
// Controller registers: 0..3 the frame size in bytes (little-endian pieces); 11 = 0x25 holds
// every frame until a trigger; the others are kept. Each frame sends exactly the frame size:
// the output image line by line, then zeros, or cut at that size. The last transfer of a frame
// ends short (a short packet closes the frame) when the frame ends inside it.
//
// Device memory: 64 KiB, 0xFF where nothing is stored; see device_memory.h for the layout.
//
// Threads: one worker thread per camera executes commands, moves replies and frame data and
// calls every transfer's completion (outside the camera's lock). All public methods are
// thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/render.h"
#include "emulator/scene.h"
#include "emulator/sensor.h"
#include "host/usb/usb_device.h"

namespace kscam::emulator {

inline constexpr uint16_t kVendorId = 0x1209;
inline constexpr uint16_t kProductId = 0x4B53;
inline constexpr uint8_t kCommandEndpoint = 0x01;
inline constexpr uint8_t kReplyEndpoint = 0x81;
inline constexpr uint8_t kFrameEndpoint = 0x82;
inline constexpr uint32_t kPacketSize = 64;

enum class Speed { RealTime, AsFastAsPossible };

struct CameraOptions {
  uint64_t seed = 1;                 // noise and defect pixels
  Speed speed = Speed::AsFastAsPossible;
  std::shared_ptr<const Scene> scene;  // null: the built-in test chart (made on first use)
  double noise_sigma = 1.5;          // in raw units; 0 turns noise off
  double defect_rate = 2e-5;         // share of defect pixels; 0 for none
  std::string serial = "KSC-000001";
  std::string firmware = "1.2.0";
};

// What the camera received and sent, for tests and raw capture.
struct ReceivedCommand {
  std::chrono::steady_clock::time_point time;
  std::array<uint8_t, kPacketSize> packet;  // zero-padded when fewer bytes arrived
  uint32_t length;
};
struct SensorWrite {
  uint16_t address, value;
  bool operator==(const SensorWrite&) const = default;
};
struct ControllerWrite {
  uint8_t index, value;
  bool operator==(const ControllerWrite&) const = default;
};
struct SentFrame {
  uint32_t number;           // the number in the frame-counter strip
  uint32_t frame_bytes;      // the frame size it was sent with
  uint64_t bytes_sent;       // bytes that reached transfers (frame_bytes unless cut short)
  bool complete;             // every byte was sent
  uint32_t width, height;    // output size of the sensor at the time
  std::vector<uint8_t> data; // the bytes sent, when KeepFrameData asked for them
};

enum class ChunkFault { Error, Short };

class EmulatedCamera final : public usb::UsbDevice {
 public:
  explicit EmulatedCamera(CameraOptions options = {});
  // Stops the worker; transfers still pending complete with NoDevice.
  ~EmulatedCamera() override;
  EmulatedCamera(const EmulatedCamera&) = delete;
  EmulatedCamera& operator=(const EmulatedCamera&) = delete;

  // UsbDevice
  std::vector<uint8_t> DeviceDescriptor() const override;
  std::vector<uint8_t> ConfigurationDescriptor() const override;
  bool SetConfiguration(uint8_t value) override;
  uint8_t Configuration() const override;
  void Submit(std::shared_ptr<usb::Transfer> transfer) override;
  void Cancel(usb::Transfer* transfer) override;
  void ResetPipe(uint8_t endpoint) override;
  void AbortPipe(uint8_t endpoint) override;
  void PortReset() override;
  bool Connected() const override;

  // The external trigger input. Ignored unless the sensor streams in trigger mode.
  void Trigger();
  void SetSpeed(Speed speed);
  void SetScene(std::shared_ptr<const Scene> scene);
  void SetNoise(double sigma);

  // Inspection.
  uint16_t SensorRegister(uint16_t address) const;
  uint8_t ControllerRegister(uint8_t index) const;
  uint32_t FrameBytes() const;
  Readout CurrentReadout() const;
  std::chrono::nanoseconds FramePeriod() const;
  bool Streaming() const;
  // The noise-free sample the sensor reads at an array address with the current exposure
  // and gain (0 outside the active area; defect pixels included).
  uint8_t ExpectedSample(uint32_t array_x, uint32_t array_y) const;
  std::vector<Defect> Defects() const;
  std::vector<uint8_t> Memory() const;

  // Faults. Each reply fault applies to the next `count` reply packets (-1: until cleared).
  static constexpr int kAlways = -1;
  void DropReplies(int count = kAlways);
  void ShortenReplies(uint32_t bytes, int count = kAlways);
  void DelayReplies(std::chrono::milliseconds delay, int count = kAlways);
  // Halts an endpoint: pending and later transfers on it fail Stalled until ResetPipe.
  // A frame being sent is abandoned.
  void StallPipe(uint8_t endpoint);
  // The `chunk`-th transfer (from 0) of each of the next `frames` frames completes with an
  // error (its share of the frame is lost) or short after `short_bytes` (the rest of the frame
  // follows in the next transfers, as a short packet does on the wire).
  void FailChunk(uint32_t chunk, ChunkFault fault, uint32_t short_bytes = 0, int frames = 1);
  // While set, frame requests are accepted but no frame is ever sent.
  void WithholdFrames(bool withhold);
  // Unplugs the camera: everything pending completes NoDevice and every later transfer too.
  void Disconnect();
  // Plugs it back in as after a power cycle: unconfigured, sensor and controller at their
  // defaults, nothing queued; the memory and the record are kept.
  void Reconnect();
  void OverrideDeviceDescriptor(std::optional<std::vector<uint8_t>> bytes);
  void OverrideConfigurationDescriptor(std::optional<std::vector<uint8_t>> bytes);
  void ClearFaults();

  // Record.
  std::vector<ReceivedCommand> Commands() const;
  std::vector<SensorWrite> SensorWrites() const;
  std::vector<ControllerWrite> ControllerWrites() const;
  std::vector<std::vector<uint8_t>> RawCommands() const;  // bytes 1..63 of each 0x40
  std::vector<SentFrame> Frames() const;
  // Keeps the bytes of the last `frames` frames sent (0: none, the default).
  void KeepFrameData(size_t frames);
  void ClearRecord();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kscam::emulator
