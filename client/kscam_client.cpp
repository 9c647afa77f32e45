#include "client/kscam_client.h"

#include <cstdio>
#include <cstring>

#include "driver/pool_tags.h"
#include "host/kernel/verifier.h"
#include "host/registry/device_keys.h"
#include "host/registry/hive.h"
#include "host/registry/location.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

namespace kscam::client {

namespace {

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::vector<ULONG> DriverPoolTags() { return {kDevicePoolTag, kUsbPoolTag, kStreamPoolTag, kColorPoolTag}; }

}  // namespace

std::string StatusText(NTSTATUS status) {
  static const struct {
    NTSTATUS value;
    const char* name;
  } kNames[] = {
      {STATUS_SUCCESS, "STATUS_SUCCESS"},
      {STATUS_PENDING, "STATUS_PENDING"},
      {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
      {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
      {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
      {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
      {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
      {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
      {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
      {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
      {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
      {STATUS_SHARING_VIOLATION, "STATUS_SHARING_VIOLATION"},
      {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
      {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
      {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
      {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
      {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
      {STATUS_CANCELLED, "STATUS_CANCELLED"},
      {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
      {STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR"},
      {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
      {STATUS_TOO_MANY_NODES, "STATUS_TOO_MANY_NODES"},
      {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
  };
  char number[16];
  std::snprintf(number, sizeof(number), "0x%08X", static_cast<unsigned>(status));
  for (const auto& entry : kNames) {
    if (entry.value == status) return std::string(entry.name) + " (" + number + ")";
  }
  return number;
}

std::optional<VideoRangeInfo> ReadVideoRange(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < sizeof(KS_DATARANGE_VIDEO)) return std::nullopt;
  KS_DATARANGE_VIDEO range;
  std::memcpy(&range, bytes.data(), sizeof(range));
  if (range.DataRange.FormatSize < sizeof(KS_DATARANGE_VIDEO)) return std::nullopt;
  VideoRangeInfo info;
  const KS_BITMAPINFOHEADER& bmi = range.VideoInfoHeader.bmiHeader;
  info.width = bmi.biWidth;
  info.height = bmi.biHeight;
  info.bit_count = bmi.biBitCount;
  info.sample_size = range.DataRange.SampleSize;
  info.min_frame_interval = range.ConfigCaps.MinFrameInterval;
  info.max_frame_interval = range.ConfigCaps.MaxFrameInterval;
  info.avg_time_per_frame = range.VideoInfoHeader.AvgTimePerFrame;
  info.min_bits_per_second = static_cast<ULONG>(range.ConfigCaps.MinBitsPerSecond);
  info.max_bits_per_second = static_cast<ULONG>(range.ConfigCaps.MaxBitsPerSecond);
  info.bit_rate = range.VideoInfoHeader.dwBitRate;
  info.rgb32 = IsEqualGUIDAligned(range.DataRange.MajorFormat, KSDATAFORMAT_TYPE_VIDEO) &&
               IsEqualGUIDAligned(range.DataRange.SubFormat, MEDIASUBTYPE_RGB32) &&
               IsEqualGUIDAligned(range.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO);
  return info;
}

CameraInfo Camera::Info() const {
  CameraInfo info;
  info.slot = device_.slot();
  info.state = device_.state();
  info.add_status = device_.add_status();
  info.start_status = device_.start_status();
  if (PKSDEVICE ks = device_.ks_device()) info.started_flag = ks->Started != FALSE;
  info.object_bag_items = device_.object_bag_size();
  if (port_) info.usb = port_->Configuration();
  for (const host::ks::FilterFactoryRecord& record : device_.filter_factories()) {
    FilterFactoryInfo factory;
    factory.reference_string = Narrow(record.reference_string);
    factory.create_item_flags = record.create_item_flags;
    const KSFILTER_DESCRIPTOR* filter = record.descriptor;
    for (ULONG id = 0; filter && id < filter->PinDescriptorsCount; ++id) {
      PinInfo pin;
      pin.id = id;
      const auto* descriptor = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
          reinterpret_cast<const uint8_t*>(filter->PinDescriptors) + size_t{id} * filter->PinDescriptorSize);
      pin.capture = descriptor->PinDescriptor.Category &&
                    IsEqualGUIDAligned(*descriptor->PinDescriptor.Category, PINNAME_VIDEO_CAPTURE);
      for (const auto& bytes : host::ks::PinDataRanges(record, id)) {
        if (auto range = ReadVideoRange(bytes)) pin.ranges.push_back(*range);
      }
      factory.pins.push_back(std::move(pin));
    }
    info.factories.push_back(std::move(factory));
  }
  return info;
}

std::unique_ptr<Filter> Camera::OpenFilter(NTSTATUS* status) {
  NTSTATUS result = STATUS_INVALID_DEVICE_STATE;
  std::unique_ptr<Filter> filter;
  const auto factories = device_.filter_factories();
  if (!factories.empty()) {
    PKSFILTER ks_filter = nullptr;
    result = device_.CreateFilter(factories.front().factory, &ks_filter);
    if (NT_SUCCESS(result)) filter = std::make_unique<Filter>(device_, ks_filter);
  }
  if (status) *status = result;
  return filter;
}

Host::Host(HostOptions options)
    : host_(host::ks::HostOptions{
          options.cameras, DriverPoolTags(),
          // Each camera's physical device object opens that camera's driver key.
          [this](int slot, PDEVICE_OBJECT pdo) {
            if (hive_) host::registry::AttachDeviceKey(pdo, hive_, static_cast<unsigned>(slot));
          },
          [](int, PDEVICE_OBJECT pdo) { host::registry::DetachDeviceKey(pdo); }}) {
  if (auto path = host::registry::SettingsFilePath(options.settings_option, &settings_error_)) {
    settings_path_ = *path;
    hive_ = host::registry::Hive::Open(settings_path_, &settings_error_);
  }
  if (options.usb_cameras) bus_ = std::make_unique<usb::UsbBus>();
  for (int i = 0; i < host_.slot_count(); ++i) {
    if (!bus_) {
      cameras_.push_back(std::make_unique<Camera>(host_.device(i)));
      continue;
    }
    emulator::CameraOptions camera_options;
    camera_options.seed = static_cast<uint64_t>(i) + 1;
    auto emulated = std::make_shared<emulator::EmulatedCamera>(camera_options);
    usb::UsbPort& port = bus_->Attach(emulated);
    host_.device(i).SetPhysicalDevice(port.DeviceObject());
    cameras_.push_back(std::make_unique<Camera>(host_.device(i), &port, std::move(emulated)));
  }
}

Host::~Host() = default;

NTSTATUS Host::LoadDriver() {
  if (!hive_) return STATUS_UNSUCCESSFUL;
  return host_.LoadDriver(DriverEntry);
}

std::string Host::TakeSettingsWriteError() { return hive_ ? hive_->TakeWriteError() : std::string(); }

std::string VerifierReport() { return host::verifier::Summary(); }

}  // namespace kscam::client
