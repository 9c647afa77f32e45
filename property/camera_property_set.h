// The camera's own property set: every camera and colour setting, the fixed ranges, sensor
// register and device memory access, raw commands and re-initialisation. Attached to the
// capture filter through its automation table.
#pragma once

#include "platform/ks.h"

KSCAM_DEFINE_GUID(CameraPropertySet, 0x3F263C66, 0x0FDA, 0x41D5, 0x9E, 0xA8, 0xCF, 0x2E, 0x34, 0x2C, 0xEF, 0xB2);

enum CameraPropertyId : ULONG {
  kPropExTrigger = 0x00,
  kPropTimeout = 0x01,
  kPropExposure = 0x02,
  kPropExposureMin = 0x03,
  kPropExposureMax = 0x04,
  kPropExposureDefault = 0x05,
  kPropGlobalGain = 0x06,
  kPropGlobalGainMin = 0x07,
  kPropGlobalGainMax = 0x08,
  kPropGlobalGainDefault = 0x09,
  kPropFlipH = 0x0A,
  kPropFlipV = 0x0B,
  kPropColorEnable = 0x0C,
  kPropWhiteBalance = 0x0D,
  kPropRedGain = 0x0E,
  kPropGreenGain = 0x0F,
  kPropBlueGain = 0x10,
  kPropColorGainMin = 0x11,
  kPropColorGainMax = 0x12,
  kPropColorGainDefault = 0x13,
  kPropBrightness = 0x14,
  kPropBrightnessMin = 0x15,
  kPropBrightnessMax = 0x16,
  kPropBrightnessDefault = 0x17,
  kPropContrast = 0x18,
  kPropContrastMin = 0x19,
  kPropContrastMax = 0x1A,
  kPropContrastDefault = 0x1B,
  kPropSaturation = 0x1C,
  kPropSaturationMin = 0x1D,
  kPropSaturationMax = 0x1E,
  kPropSaturationDefault = 0x1F,
  kPropHue = 0x20,
  kPropHueMin = 0x21,
  kPropHueMax = 0x22,
  kPropHueDefault = 0x23,
  kPropSubSampleMax = 0x24,
  kPropSubSample = 0x25,
  kPropSensorWidth = 0x26,
  kPropSensorHeight = 0x27,
  kPropRoiX = 0x28,
  kPropRoiY = 0x29,
  kPropRoiW = 0x2A,
  kPropRoiH = 0x2B,
  kPropRegion = 0x2C,
  kPropRegionLocked = 0x2D,
  kPropReserved2E = 0x2E,
  kPropReserved2F = 0x2F,
  kPropColorCorrection = 0x30,
  kPropClock = 0x31,
  kPropReserved32 = 0x32,
  kPropReserved33 = 0x33,
  kPropReserved34 = 0x34,
  kPropReserved35 = 0x35,
  kPropReserved36 = 0x36,
  kPropAgc = 0x37,
  kPropAec = 0x38,
  kPropSensorRegisterWrite = 0x39,
  kPropSensorRegister = 0x3A,
  kPropRawCommand = 0x3B,
  kPropMemoryByte = 0x3C,
  kPropReserved3D = 0x3D,
  kPropReserved3E = 0x3E,
  kPropReserved3F = 0x3F,
  kPropReserved40 = 0x40,
  kPropReserved41 = 0x41,
  kPropReserved42 = 0x42,
  kPropReinitialize = 0x43,
  kPropReserved44 = 0x44,
  kPropDot = 0x45,
  kPropDotThreshold = 0x46,
  kCameraPropertyCount = 0x47,
};

// Property and data record of most items.
struct CameraPropertyValue {
  KSPROPERTY Property;
  LONG Value;
  LONG Reserved;
};
static_assert(sizeof(CameraPropertyValue) == 32);
static_assert(offsetof(CameraPropertyValue, Value) == 24);

// Property and data record of Region.
struct CameraRegionValue {
  KSPROPERTY Property;
  LONG SubSample;
  LONG X;
  LONG Y;
  LONG Width;
  LONG Height;
  LONG Reserved;
};
static_assert(sizeof(CameraRegionValue) == 48);
static_assert(offsetof(CameraRegionValue, SubSample) == 24 && offsetof(CameraRegionValue, Height) == 40);

// Data record of SensorRegisterWrite.
struct CameraRegisterValue {
  KSPROPERTY Property;
  ULONG Address;
  ULONG Value;
};
static_assert(sizeof(CameraRegisterValue) == 32);
static_assert(offsetof(CameraRegisterValue, Address) == 24 && offsetof(CameraRegisterValue, Value) == 28);

// Property and data record of RawCommand and MemoryByte.
struct CameraBlockValue {
  KSPROPERTY Property;
  ULONG Address;
  LONG Count;
  UCHAR Payload[64];
};
static_assert(sizeof(CameraBlockValue) == 96);
static_assert(offsetof(CameraBlockValue, Count) == 28 && offsetof(CameraBlockValue, Payload) == 32);

// The filter's automation table: this one property set, no methods, no events.
extern const KSAUTOMATION_TABLE CameraAutomationTable;
extern const KSPROPERTY_SET CameraPropertySets[1];
extern const KSPROPERTY_ITEM CameraPropertyItems[kCameraPropertyCount];
