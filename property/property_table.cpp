#include "property/camera_property_set.h"
#include "property/property_handlers.h"

namespace {

constexpr ULONG kValueBytes = sizeof(CameraPropertyValue);
constexpr ULONG kRegionBytes = sizeof(CameraRegionValue);
constexpr ULONG kRegisterBytes = sizeof(CameraRegisterValue);
constexpr ULONG kBlockBytes = sizeof(CameraBlockValue);

constexpr PFNKSHANDLER General = GeneralPropertyHandler;

}  // namespace

// Only the id, the handlers and the minimum sizes are filled in: no values, relations, support
// handler or serialized size.
#define ITEM(id, get, min_property, min_data, set) \
  {id, {get}, min_property, min_data, {set}, nullptr, 0, nullptr, nullptr, 0}

const KSPROPERTY_ITEM CameraPropertyItems[kCameraPropertyCount] = {
    ITEM(kPropExTrigger, General, kValueBytes, kValueBytes, General),
    ITEM(kPropTimeout, General, kValueBytes, kValueBytes, General),
    ITEM(kPropExposure, General, kValueBytes, kValueBytes, General),
    ITEM(kPropExposureMin, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropExposureMax, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropExposureDefault, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropGlobalGain, General, kValueBytes, kValueBytes, General),
    ITEM(kPropGlobalGainMin, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropGlobalGainMax, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropGlobalGainDefault, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropFlipH, General, kValueBytes, kValueBytes, General),
    ITEM(kPropFlipV, General, kValueBytes, kValueBytes, General),
    ITEM(kPropColorEnable, General, kValueBytes, kValueBytes, General),
    ITEM(kPropWhiteBalance, General, kValueBytes, kValueBytes, General),
    ITEM(kPropRedGain, General, kValueBytes, kValueBytes, General),
    ITEM(kPropGreenGain, General, kValueBytes, kValueBytes, General),
    ITEM(kPropBlueGain, General, kValueBytes, kValueBytes, General),
    ITEM(kPropColorGainMin, ConstantHandler<1>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropColorGainMax, ConstantHandler<512>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropColorGainDefault, ConstantHandler<128>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropBrightness, BrightnessHandler, kValueBytes, kValueBytes, BrightnessHandler),
    ITEM(kPropBrightnessMin, ConstantHandler<0>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropBrightnessMax, ConstantHandler<510>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropBrightnessDefault, ConstantHandler<255>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropContrast, ContrastHandler, kValueBytes, kValueBytes, ContrastHandler),
    ITEM(kPropContrastMin, ConstantHandler<0>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropContrastMax, ConstantHandler<20>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropContrastDefault, ConstantHandler<10>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropSaturation, SaturationHandler, kValueBytes, kValueBytes, SaturationHandler),
    ITEM(kPropSaturationMin, ConstantHandler<0>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropSaturationMax, ConstantHandler<20>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropSaturationDefault, ConstantHandler<10>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropHue, HueHandler, kValueBytes, kValueBytes, HueHandler),
    ITEM(kPropHueMin, ConstantHandler<0>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropHueMax, ConstantHandler<359>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropHueDefault, ConstantHandler<0>, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropSubSampleMax, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropSubSample, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropSensorWidth, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropSensorHeight, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropRoiX, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropRoiY, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropRoiW, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropRoiH, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropRegion, nullptr, kRegionBytes, kRegionBytes, RegionHandler),
    ITEM(kPropRegionLocked, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropReserved2E, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropReserved2F, nullptr, kValueBytes, kValueBytes, General),
    ITEM(kPropColorCorrection, General, kValueBytes, kValueBytes, General),
    ITEM(kPropClock, General, kValueBytes, kValueBytes, General),
    ITEM(kPropReserved32, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropReserved33, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropReserved34, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropReserved35, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropReserved36, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropAgc, General, kValueBytes, kValueBytes, General),
    ITEM(kPropAec, General, kValueBytes, kValueBytes, General),
    ITEM(kPropSensorRegisterWrite, SensorRegisterWriteHandler, kValueBytes, kRegisterBytes, SensorRegisterWriteHandler),
    ITEM(kPropSensorRegister, General, kValueBytes, kValueBytes, General),
    ITEM(kPropRawCommand, BlockHandler, kBlockBytes, kBlockBytes, BlockHandler),
    ITEM(kPropMemoryByte, BlockHandler, kBlockBytes, kBlockBytes, BlockHandler),
    ITEM(kPropReserved3D, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropReserved3E, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropReserved3F, General, kValueBytes, kValueBytes, General),
    ITEM(kPropReserved40, General, kValueBytes, kValueBytes, General),
    ITEM(kPropReserved41, General, kValueBytes, kValueBytes, General),
    ITEM(kPropReserved42, General, kValueBytes, kValueBytes, General),
    ITEM(kPropReinitialize, nullptr, kValueBytes, kValueBytes, General),
    ITEM(kPropReserved44, General, kValueBytes, kValueBytes, nullptr),
    ITEM(kPropDot, General, kValueBytes, kValueBytes, General),
    ITEM(kPropDotThreshold, General, kValueBytes, kValueBytes, General),
};

#undef ITEM

const KSPROPERTY_SET CameraPropertySets[1] = {
    {&CameraPropertySet, kCameraPropertyCount, CameraPropertyItems, 0, nullptr},
};

const KSAUTOMATION_TABLE CameraAutomationTable = {
    1, sizeof(KSPROPERTY_ITEM), CameraPropertySets,  // properties
    0, sizeof(KSMETHOD_ITEM), nullptr,               // no methods
    0, sizeof(KSEVENT_ITEM), nullptr,                // no events
};
