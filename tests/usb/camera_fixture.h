// A CameraDevice wired to a scripted USB device on the host's bus, without the KS host: the
// transport's operations run against it as device Start and the stream would run them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "driver/camera_device.h"
#include "driver/pool_tags.h"
#include "host/kernel/verifier.h"
#include "host/usb/scripted_device.h"
#include "host/usb/usb_bus.h"
#include "usb/command_packets.h"
#include "usb/frame_transfer.h"
#include "usb/usb_request.h"
#include "usb/usb_setup.h"

namespace kscam::test {

constexpr uint8_t kCommandEndpoint = 0x01;
constexpr uint8_t kReplyEndpoint = 0x81;
constexpr uint8_t kFrameEndpoint = 0x82;

// What the scripted device does with command packets: a small model of the camera's protocol.
struct CameraScript {
  std::mutex mu;
  std::map<uint16_t, uint16_t> sensor;  // register file
  std::map<uint16_t, uint8_t> memory;   // device memory
  bool replies = true;                  // false: accepts commands, never answers
  uint32_t reply_bytes = 64;            // length of each reply packet
  bool frames = true;                   // false: never sends a frame
  uint32_t frame_bytes = 0;             // bytes sent after each command 0x03
  std::vector<std::vector<uint8_t>> frame_messages;  // when set: sent instead, one message each
  int error_chunks = 0;                 // when set: the next frame's first chunks fail instead
  std::atomic<int> frame_go{0};
};

inline void InstallCameraScript(usb::ScriptedDevice& device, std::shared_ptr<CameraScript> script) {
  device.OnOut([script](usb::ScriptedDevice& d, uint8_t ep, const std::vector<uint8_t>& p) {
    if (ep != kCommandEndpoint || p.empty()) return;
    std::lock_guard lock(script->mu);
    auto reply = [&](std::vector<uint8_t> r) {
      r.resize(script->reply_bytes);
      if (script->replies) d.QueueIn(kReplyEndpoint, std::move(r));
    };
    switch (p[0]) {
      case 0x04: script->sensor[uint16_t(p[1] << 8 | p[2])] = uint16_t(p[3] << 8 | p[4]); break;
      case 0x0C: {
        const uint16_t v = script->sensor[uint16_t(p[1] << 8 | p[2])];
        reply(p);
        reply({uint8_t(v >> 8), uint8_t(v)});
        break;
      }
      case 0x41: {
        reply(p);
        reply({script->memory[uint16_t(p[4] << 8 | p[5])]});
        break;
      }
      case 0x02: d.ClearIn(kFrameEndpoint); break;  // drops what is unsent of an earlier frame
      case 0x03:
        ++script->frame_go;
        if (script->error_chunks > 0) {
          for (; script->error_chunks > 0; --script->error_chunks) d.QueueInError(kFrameEndpoint);
          break;
        }
        if (!script->frames) break;
        if (!script->frame_messages.empty()) {
          for (auto& m : script->frame_messages) d.QueueIn(kFrameEndpoint, m);
        } else if (script->frame_bytes != 0) {
          std::vector<uint8_t> frame(script->frame_bytes);
          for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i * 7 + script->frame_go);
          d.QueueIn(kFrameEndpoint, std::move(frame));
        }
        break;
      default: break;
    }
  });
}

// Zeroed like device Add leaves it, with the lower device set to the port.
class TestCamera {
 public:
  explicit TestCamera(std::shared_ptr<usb::ScriptedDevice> device = std::make_shared<usb::ScriptedDevice>())
      : TestCamera(std::static_pointer_cast<usb::UsbDevice>(device)) {
    device_ = std::move(device);
    InstallCameraScript(*device_, script_);
  }
  // Any other device (the emulated camera): no script.
  explicit TestCamera(std::shared_ptr<usb::UsbDevice> device) : script_(std::make_shared<CameraScript>()) {
    port_ = &bus_.Attach(std::move(device));
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(CameraDevice), kDevicePoolTag);
    std::memset(block, 0, sizeof(CameraDevice));
    camera_ = new (block) CameraDevice();
    camera_->usb.lower_device = port_->DeviceObject();
    camera_->usb.physical_device = port_->DeviceObject();
    KeInitializeMutex(&camera_->control_mutex, 0);
    KeInitializeMutex(&camera_->color_mutex, 0);
    KeInitializeSpinLock(&camera_->usb.transfer_lock);
    KeInitializeEvent(&camera_->usb.frame_done, NotificationEvent, FALSE);
  }
  ~TestCamera() {
    ReleaseUsbConfiguration(&camera_->usb);
    camera_->~CameraDevice();
    ExFreePoolWithTag(camera_, kDevicePoolTag);
  }

  // Reads the descriptors and selects the configuration, as device Start does.
  NTSTATUS Configure() {
    NTSTATUS status = ReadDeviceDescriptor(&camera_->usb);
    return NT_SUCCESS(status) ? ConfigureUsbDevice(&camera_->usb) : status;
  }

  // Sets a raw frame geometry (the capture-mode programming's result).
  void SetGeometry(int width, int height, uint32_t frame_bytes) {
    camera_->output_width = width;
    camera_->output_height = height;
    camera_->line_stride = width;
    camera_->frame_bytes = static_cast<LONG>(frame_bytes);
  }

  CameraDevice* camera() { return camera_; }
  UsbTransport* usb() { return &camera_->usb; }
  usb::ScriptedDevice& device() { return *device_; }
  usb::UsbPort& port() { return *port_; }
  usb::UsbBus& bus() { return bus_; }
  CameraScript& script() { return *script_; }

  // Bulk transfers the port received on an endpoint, in order.
  std::vector<usb::RequestRecord> Transfers(uint8_t endpoint) const {
    std::vector<usb::RequestRecord> out;
    for (auto& r : port_->Log()) {
      if (r.kind == usb::RequestRecord::Kind::Urb && r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
          r.endpoint == endpoint) {
        out.push_back(r);
      }
    }
    return out;
  }
  size_t CountUrbs(uint16_t function) const {
    size_t n = 0;
    for (auto& r : port_->Log()) n += r.kind == usb::RequestRecord::Kind::Urb && r.function == function;
    return n;
  }

 private:
  usb::UsbBus bus_;
  std::shared_ptr<usb::ScriptedDevice> device_;
  std::shared_ptr<CameraScript> script_;
  usb::UsbPort* port_ = nullptr;
  CameraDevice* camera_ = nullptr;
};

// A frame time-out for reads that are meant to succeed: the first full-sensor frame of the
// emulated camera is rendered on demand, which takes ten times longer under the sanitizers
// and on a loaded machine can pass the driver's default of 3 seconds.
constexpr ULONG kPatientFrameTimeoutMs = 120000;

// Sets the driver-wide frame time-out for the scope of a test.
class FrameTimeoutScope {
 public:
  explicit FrameTimeoutScope(ULONG ms) : old_(InterlockedExchange(&FrameTimeout, static_cast<LONG>(ms))) {}
  ~FrameTimeoutScope() { InterlockedExchange(&FrameTimeout, old_); }

 private:
  LONG old_;
};

// A non-paged raw buffer from pool, as the capture thread allocates it.
class RawBuffer {
 public:
  explicit RawBuffer(size_t bytes) : bytes_(bytes) {
    data_ = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, bytes ? bytes : 1, kStreamPoolTag));
    std::memset(data_, 0xEE, bytes ? bytes : 1);
  }
  ~RawBuffer() { ExFreePoolWithTag(data_, kStreamPoolTag); }
  uint8_t* data() { return data_; }
  size_t size() const { return bytes_; }

 private:
  uint8_t* data_;
  size_t bytes_;
};

}  // namespace kscam::test
