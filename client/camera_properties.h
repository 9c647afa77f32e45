// The camera's property set as applications use it: an open filter, and its items read and
// written by id or by name.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/ks/ks_host.h"
#include "platform/ks.h"

namespace kscam::client {

// One item of the camera's property set: its id and name (the names of the settings).
struct PropertyName {
  ULONG id;
  const char* name;
};
// All 71 items, in id order.
const std::vector<PropertyName>& CameraPropertyNames();
// The id of an item named case-insensitively; nullopt for an unknown name.
std::optional<ULONG> FindCameraProperty(std::string_view name);
// The name of an item id, or null.
const char* CameraPropertyName(ULONG id);

// A number as a user types it: decimal or 0x hex, optionally negative, within 32 bits
// (negative values and values above 0x7FFFFFFF both map to their 32-bit pattern).
std::optional<int32_t> ParseNumber(std::string_view text);

// An open filter of a camera: the filter's Close runs (and the settings are saved) when the
// object goes.
class Filter {
 public:
  Filter(host::ks::Device& device, PKSFILTER filter) : device_(device), filter_(filter) {}
  ~Filter();
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  // Closes the filter now; returns the Close status. Later calls do nothing.
  NTSTATUS Close();

  // A raw property request (see host::ks::Device::FilterProperty).
  NTSTATUS Request(const void* property, ULONG property_size, void* data, ULONG data_size,
                   ULONG* bytes_returned = nullptr);

  // Get and set of a 32-bit item (CameraPropertyValue records).
  NTSTATUS Get(ULONG id, int32_t* value);
  NTSTATUS Set(ULONG id, int32_t value);
  // Which requests the item accepts (KSPROPERTY_TYPE_GET / _SET bits), from the class
  // driver's basic-support query; 0 for an unknown item.
  ULONG Access(ULONG id);

  // Typed items.
  NTSTATUS SetRegion(int32_t x, int32_t y, int32_t width, int32_t height, int32_t sub_sample);
  NTSTATUS WriteSensorRegister(uint32_t address, uint32_t value);
  // Reads through the SensorRegister item: its address, then its value (0 when the camera's
  // read failed).
  NTSTATUS ReadSensorRegister(uint32_t address, uint32_t* value);
  // Reads one device-memory byte through MemoryByte.
  NTSTATUS ReadMemoryByte(uint32_t address, uint8_t* value);
  // Command 0x40 with up to 63 bytes; `count` is sent as given (the driver limits it).
  NTSTATUS RawCommand(const std::vector<uint8_t>& bytes, int32_t count);
  NTSTATUS RawCommand(const std::vector<uint8_t>& bytes) {
    return RawCommand(bytes, static_cast<int32_t>(bytes.size()));
  }
  // A text field of device memory: bytes from `address` up to the first NUL, 0xFF or `size`.
  NTSTATUS ReadMemoryString(uint32_t address, uint32_t size, std::string* text);

  PKSFILTER ks_filter() const { return filter_; }
  host::ks::Device& device() const { return device_; }

 private:
  host::ks::Device& device_;
  PKSFILTER filter_;
};

}  // namespace kscam::client
