// The application side of kscam: start a host with camera slots, load the driver into it, and
// drive and inspect its cameras. Everything is released when the Host object goes.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/camera.h"
#include "host/ks/ks_host.h"
#include "host/usb/usb_bus.h"
#include "platform/ks.h"

namespace kscam::host::registry {
class Hive;
}

namespace kscam::client {

// "STATUS_SUCCESS (0x00000000)" for the status values the system uses, else the number.
std::string StatusText(NTSTATUS status);

// A video data range as a client reads it from a pin.
struct VideoRangeInfo {
  LONG width = 0;
  LONG height = 0;
  ULONG sample_size = 0;
  WORD bit_count = 0;
  LONGLONG min_frame_interval = 0;  // 100 ns units
  LONGLONG max_frame_interval = 0;
  LONGLONG avg_time_per_frame = 0;
  ULONG min_bits_per_second = 0;
  ULONG max_bits_per_second = 0;
  ULONG bit_rate = 0;  // dwBitRate of the format header
  bool rgb32 = false;  // video, RGB32 subtype, VideoInfo specifier
};

struct PinInfo {
  ULONG id = 0;
  bool capture = false;  // the video-capture pin category
  std::vector<VideoRangeInfo> ranges;
};

struct FilterFactoryInfo {
  std::string reference_string;
  ULONG create_item_flags = 0;
  std::vector<PinInfo> pins;
};

struct CameraInfo {
  int slot = 0;
  host::ks::DeviceState state = host::ks::DeviceState::Absent;
  NTSTATUS add_status = STATUS_PENDING;
  NTSTATUS start_status = STATUS_PENDING;
  bool started_flag = false;  // the KSDEVICE's Started
  size_t object_bag_items = 0;
  std::vector<FilterFactoryInfo> factories;
  // The configuration the USB bus holds for the camera; empty without a bus.
  std::optional<usb::ConfigurationView> usb;
};

// Reads a data range record; nullopt unless it is a whole KS_DATARANGE_VIDEO.
std::optional<VideoRangeInfo> ReadVideoRange(const std::vector<uint8_t>& range);

class Camera {
 public:
  explicit Camera(host::ks::Device& device, usb::UsbPort* port = nullptr,
                  std::shared_ptr<emulator::EmulatedCamera> emulated = nullptr)
      : device_(device), port_(port), emulated_(std::move(emulated)) {}
  NTSTATUS Add() { return device_.Add(); }
  NTSTATUS Start() { return device_.Start(); }
  NTSTATUS Stop() { return device_.Stop(); }
  NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* capabilities) { return device_.QueryCapabilities(capabilities); }
  // Returns the number of leaked pool blocks the verifier found.
  size_t Remove() { return device_.Remove(); }
  CameraInfo Info() const;
  host::ks::Device& device() { return device_; }
  // The bus port and the emulated camera behind the device; null without a bus.
  usb::UsbPort* port() { return port_; }
  emulator::EmulatedCamera* emulated() { return emulated_.get(); }

 private:
  host::ks::Device& device_;
  usb::UsbPort* port_;
  std::shared_ptr<emulator::EmulatedCamera> emulated_;
};

struct HostOptions {
  int cameras = 1;
  // The --settings FILE of the tool; empty when not given ($KSCAM_SETTINGS, then the XDG
  // state folder, decide).
  std::string settings_option;
  // Puts an emulated camera on the host's USB bus below each camera slot; without it no
  // device answers the driver's USB requests.
  bool usb_cameras = false;
};

class Host {
 public:
  explicit Host(HostOptions options = {});
  ~Host();  // removes the cameras still present, then unloads the driver
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Loads the kscam driver: its entry registers the device descriptor. Fails with
  // STATUS_UNSUCCESSFUL when the settings hive could not be opened (see settings_error).
  NTSTATUS LoadDriver();
  // Why the settings hive could not be opened, one line; empty when it is open.
  const std::string& settings_error() const { return settings_error_; }
  bool driver_loaded() const { return host_.driver_loaded(); }
  int camera_count() const { return static_cast<int>(cameras_.size()); }
  Camera& camera(int slot) { return *cameras_.at(slot); }
  const std::filesystem::path& settings_path() const { return settings_path_; }
  host::ks::Host& ks_host() { return host_; }

 private:
  std::filesystem::path settings_path_;
  std::string settings_error_;
  std::shared_ptr<host::registry::Hive> hive_;
  // Outlives the KS host, whose device removal still sends USB requests.
  std::unique_ptr<usb::UsbBus> bus_;
  host::ks::Host host_;
  std::vector<std::unique_ptr<Camera>> cameras_;
};

// The verifier's view of the process: empty when clean.
std::string VerifierReport();

}  // namespace kscam::client
