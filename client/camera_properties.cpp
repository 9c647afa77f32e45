#include "client/camera_properties.h"

#include <cctype>
#include <cstring>

#include "property/camera_property_set.h"

namespace kscam::client {

const std::vector<PropertyName>& CameraPropertyNames() {
  static const std::vector<PropertyName> names = {
      {kPropExTrigger, "ExTrigger"},
      {kPropTimeout, "Timeout"},
      {kPropExposure, "Exposure"},
      {kPropExposureMin, "ExposureMin"},
      {kPropExposureMax, "ExposureMax"},
      {kPropExposureDefault, "ExposureDefault"},
      {kPropGlobalGain, "GlobalGain"},
      {kPropGlobalGainMin, "GlobalGainMin"},
      {kPropGlobalGainMax, "GlobalGainMax"},
      {kPropGlobalGainDefault, "GlobalGainDefault"},
      {kPropFlipH, "FlipH"},
      {kPropFlipV, "FlipV"},
      {kPropColorEnable, "ColorEnable"},
      {kPropWhiteBalance, "WhiteBalance"},
      {kPropRedGain, "RedGain"},
      {kPropGreenGain, "GreenGain"},
      {kPropBlueGain, "BlueGain"},
      {kPropColorGainMin, "ColorGainMin"},
      {kPropColorGainMax, "ColorGainMax"},
      {kPropColorGainDefault, "ColorGainDefault"},
      {kPropBrightness, "Brightness"},
      {kPropBrightnessMin, "BrightnessMin"},
      {kPropBrightnessMax, "BrightnessMax"},
      {kPropBrightnessDefault, "BrightnessDefault"},
      {kPropContrast, "Contrast"},
      {kPropContrastMin, "ContrastMin"},
      {kPropContrastMax, "ContrastMax"},
      {kPropContrastDefault, "ContrastDefault"},
      {kPropSaturation, "Saturation"},
      {kPropSaturationMin, "SaturationMin"},
      {kPropSaturationMax, "SaturationMax"},
      {kPropSaturationDefault, "SaturationDefault"},
      {kPropHue, "Hue"},
      {kPropHueMin, "HueMin"},
      {kPropHueMax, "HueMax"},
      {kPropHueDefault, "HueDefault"},
      {kPropSubSampleMax, "SubSampleMax"},
      {kPropSubSample, "SubSample"},
      {kPropSensorWidth, "SensorWidth"},
      {kPropSensorHeight, "SensorHeight"},
      {kPropRoiX, "RoiX"},
      {kPropRoiY, "RoiY"},
      {kPropRoiW, "RoiW"},
      {kPropRoiH, "RoiH"},
      {kPropRegion, "Region"},
      {kPropRegionLocked, "RegionLocked"},
      {kPropReserved2E, "Reserved2E"},
      {kPropReserved2F, "Reserved2F"},
      {kPropColorCorrection, "ColorCorrection"},
      {kPropClock, "Clock"},
      {kPropReserved32, "Reserved32"},
      {kPropReserved33, "Reserved33"},
      {kPropReserved34, "Reserved34"},
      {kPropReserved35, "Reserved35"},
      {kPropReserved36, "Reserved36"},
      {kPropAgc, "AGC"},
      {kPropAec, "AEC"},
      {kPropSensorRegisterWrite, "SensorRegisterWrite"},
      {kPropSensorRegister, "SensorRegister"},
      {kPropRawCommand, "RawCommand"},
      {kPropMemoryByte, "MemoryByte"},
      {kPropReserved3D, "Reserved3D"},
      {kPropReserved3E, "Reserved3E"},
      {kPropReserved3F, "Reserved3F"},
      {kPropReserved40, "Reserved40"},
      {kPropReserved41, "Reserved41"},
      {kPropReserved42, "Reserved42"},
      {kPropReinitialize, "Reinitialize"},
      {kPropReserved44, "Reserved44"},
      {kPropDot, "Dot"},
      {kPropDotThreshold, "DotThreshold"},
  };
  return names;
}

std::optional<ULONG> FindCameraProperty(std::string_view name) {
  for (const PropertyName& p : CameraPropertyNames()) {
    const size_t n = std::strlen(p.name);
    if (n != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < n && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(p.name[i])) == std::tolower(static_cast<unsigned char>(name[i]));
    }
    if (same) return p.id;
  }
  return std::nullopt;
}

const char* CameraPropertyName(ULONG id) {
  const auto& names = CameraPropertyNames();
  return id < names.size() ? names[id].name : nullptr;
}

std::optional<int32_t> ParseNumber(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  // A negative number must fit a signed 32-bit value.
  if (negative) {
    if (value > 0x80000000ull) return std::nullopt;
    return static_cast<int32_t>(static_cast<uint32_t>(0) - static_cast<uint32_t>(value));
  }
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

namespace {

KSPROPERTY Header(ULONG id, ULONG flags) {
  KSPROPERTY p{};
  p.Set = CameraPropertySet;
  p.Id = id;
  p.Flags = flags;
  return p;
}

}  // namespace

Filter::~Filter() { Close(); }

NTSTATUS Filter::Close() {
  if (!filter_) return STATUS_SUCCESS;
  const NTSTATUS status = device_.CloseFilter(filter_);
  filter_ = nullptr;
  return status;
}

NTSTATUS Filter::Request(const void* property, ULONG property_size, void* data, ULONG data_size,
                         ULONG* bytes_returned) {
  if (!filter_) return STATUS_INVALID_HANDLE;
  return device_.FilterProperty(filter_, property, property_size, data, data_size, bytes_returned);
}

NTSTATUS Filter::Get(ULONG id, int32_t* value) {
  CameraPropertyValue property{Header(id, KSPROPERTY_TYPE_GET), 0, 0};
  CameraPropertyValue data{Header(id, KSPROPERTY_TYPE_GET), 0, 0};
  const NTSTATUS status = Request(&property, sizeof(property), &data, sizeof(data));
  if (NT_SUCCESS(status) && value) *value = data.Value;
  return status;
}

NTSTATUS Filter::Set(ULONG id, int32_t value) {
  CameraPropertyValue property{Header(id, KSPROPERTY_TYPE_SET), value, 0};
  CameraPropertyValue data{Header(id, KSPROPERTY_TYPE_SET), value, 0};
  return Request(&property, sizeof(property), &data, sizeof(data));
}

ULONG Filter::Access(ULONG id) {
  KSPROPERTY property = Header(id, KSPROPERTY_TYPE_BASICSUPPORT);
  ULONG access = 0;
  if (!NT_SUCCESS(Request(&property, sizeof(property), &access, sizeof(access)))) return 0;
  return access & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
}

NTSTATUS Filter::SetRegion(int32_t x, int32_t y, int32_t width, int32_t height, int32_t sub_sample) {
  CameraRegionValue region{Header(kPropRegion, KSPROPERTY_TYPE_SET), sub_sample, x, y, width, height, 0};
  CameraRegionValue data = region;
  return Request(&region, sizeof(region), &data, sizeof(data));
}

NTSTATUS Filter::WriteSensorRegister(uint32_t address, uint32_t value) {
  CameraPropertyValue property{Header(kPropSensorRegisterWrite, KSPROPERTY_TYPE_SET), 0, 0};
  CameraRegisterValue data{Header(kPropSensorRegisterWrite, KSPROPERTY_TYPE_SET), address, value};
  return Request(&property, sizeof(property), &data, sizeof(data));
}

NTSTATUS Filter::ReadSensorRegister(uint32_t address, uint32_t* value) {
  NTSTATUS status = Set(kPropSensorRegister, static_cast<int32_t>(address));
  if (!NT_SUCCESS(status)) return status;
  int32_t read = 0;
  status = Get(kPropSensorRegister, &read);
  if (NT_SUCCESS(status) && value) *value = static_cast<uint32_t>(read);
  return status;
}

NTSTATUS Filter::ReadMemoryByte(uint32_t address, uint8_t* value) {
  CameraBlockValue block{};
  block.Property = Header(kPropMemoryByte, KSPROPERTY_TYPE_SET);
  block.Address = address;
  CameraBlockValue data = block;
  NTSTATUS status = Request(&block, sizeof(block), &data, sizeof(data));
  if (!NT_SUCCESS(status)) return status;
  block.Property.Flags = KSPROPERTY_TYPE_GET;
  data = block;
  status = Request(&block, sizeof(block), &data, sizeof(data));
  if (NT_SUCCESS(status) && value) *value = data.Payload[0];
  return status;
}

NTSTATUS Filter::RawCommand(const std::vector<uint8_t>& bytes, int32_t count) {
  CameraBlockValue block{};
  block.Property = Header(kPropRawCommand, KSPROPERTY_TYPE_SET);
  block.Count = count;
  std::memcpy(block.Payload, bytes.data(), std::min(bytes.size(), sizeof(block.Payload)));
  CameraBlockValue data = block;
  return Request(&block, sizeof(block), &data, sizeof(data));
}

NTSTATUS Filter::ReadMemoryString(uint32_t address, uint32_t size, std::string* text) {
  text->clear();
  for (uint32_t i = 0; i < size; ++i) {
    uint8_t byte = 0;
    const NTSTATUS status = ReadMemoryByte(address + i, &byte);
    if (!NT_SUCCESS(status)) return status;
    if (byte == 0 || byte == 0xFF) break;
    text->push_back(static_cast<char>(byte));
  }
  return STATUS_SUCCESS;
}

}  // namespace kscam::client
