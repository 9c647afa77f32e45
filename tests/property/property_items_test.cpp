// The camera property set as applications see it: every item's behaviour at its edges, the
// live values reads report, and the host's checks before a handler runs.
#include <cstring>

#include "tests/property/property_fixture.h"

namespace kscam::property_test {
namespace {

TEST_F(PropertyTest, ColourValuesAreClampedNeverRejected) {
  Set(kPropBrightness, 600);
  EXPECT_EQ(Get(kPropBrightness), 510);
  Set(kPropBrightness, -5);
  EXPECT_EQ(Get(kPropBrightness), 0);
  Set(kPropHue, 360);
  EXPECT_EQ(Get(kPropHue), 359);
  Set(kPropContrast, 21);
  EXPECT_EQ(Get(kPropContrast), 20);
  Set(kPropSaturation, -1);
  EXPECT_EQ(Get(kPropSaturation), 0);
  // Below the advertised minimum of 1, and accepted.
  Set(kPropRedGain, 0);
  EXPECT_EQ(Get(kPropRedGain), 0);
  EXPECT_EQ(Get(kPropColorGainMin), 1);
  Set(kPropBlueGain, 100000);
  EXPECT_EQ(cam()->settings.blue_gain, 512u);
  // Not clamped.
  Set(kPropColorCorrection, -7);
  EXPECT_EQ(Get(kPropColorCorrection), -7);
}

TEST_F(PropertyTest, TimeoutIsComparedUnsigned) {
  Set(kPropTimeout, 500);
  EXPECT_EQ(Get(kPropTimeout), 3000);
  EXPECT_EQ(ReadAcquire(&FrameTimeout), 3000);
  Set(kPropTimeout, 501);
  EXPECT_EQ(Get(kPropTimeout), 501);
  EXPECT_EQ(ReadAcquire(&FrameTimeout), 501);
  Set(kPropTimeout, -1);
  EXPECT_EQ(Get(kPropTimeout), -1);
  EXPECT_EQ(static_cast<ULONG>(ReadAcquire(&FrameTimeout)), 0xFFFFFFFFu);
}

TEST_F(PropertyTest, ColourItemsGoToTheProcessorAndReadItBack) {
  ColorProcessor* color = MakeColorProcessor();
  ASSERT_NE(color, nullptr);
  Set(kPropContrast, 14);
  const LONG after_first = ReadAcquire(&color->MatrixSequence);
  LONG matrix[16];
  CopyPublishedMatrix(color, matrix);
  // The same value again rebuilds nothing: no new publication, the same matrix.
  Set(kPropContrast, 14);
  EXPECT_EQ(ReadAcquire(&color->MatrixSequence), after_first);
  LONG again[16];
  CopyPublishedMatrix(color, again);
  EXPECT_EQ(std::memcmp(matrix, again, sizeof(matrix)), 0);
  Set(kPropContrast, 15);
  EXPECT_NE(ReadAcquire(&color->MatrixSequence), after_first);

  // A gain the white balance wrote into the processor is what a read reports, and the
  // setting follows it.
  SetRedGain(color, 333);
  EXPECT_EQ(Get(kPropRedGain), 333);
  EXPECT_EQ(cam()->settings.red_gain, 333u);
  Set(kPropColorEnable, 0);
  EXPECT_EQ(ReadAcquire(&color->ColorEnable), 0);
}

TEST_F(PropertyTest, DotItemsDriveTheActiveThreshold) {
  ColorProcessor* color = MakeColorProcessor();
  ASSERT_NE(color, nullptr);
  Set(kPropDotThreshold, 15);  // dot off: the pass stays off
  EXPECT_EQ(ReadAcquire(&color->ActiveDotThreshold), 0);
  Set(kPropDot, 1);
  EXPECT_EQ(ReadAcquire(&color->ActiveDotThreshold), 15);
  Set(kPropDotThreshold, 40);
  EXPECT_EQ(ReadAcquire(&color->ActiveDotThreshold), 40);
  Set(kPropDot, 0);
  EXPECT_EQ(ReadAcquire(&color->ActiveDotThreshold), 0);
  EXPECT_EQ(Get(kPropDotThreshold), 40);
}

TEST_F(PropertyTest, CameraReadsReportTheSensor) {
  Set(kPropExposure, 1200);
  EXPECT_EQ(host().emulated().SensorRegister(0x3012), 1200);
  // A register changed behind the driver's back is what the next read reports.
  ASSERT_EQ(filter().WriteSensorRegister(0x3012, 777), STATUS_SUCCESS);
  EXPECT_EQ(Get(kPropExposure), 777);
  EXPECT_EQ(cam()->settings.exposure, 777u);
  ASSERT_EQ(filter().WriteSensorRegister(0x305E, 0x11A5), STATUS_SUCCESS);
  EXPECT_EQ(Get(kPropGlobalGain), 0x25);

  Set(kPropFlipV, 1);
  EXPECT_EQ(host().emulated().SensorRegister(0x3040) & 0x8000, 0x8000);
  EXPECT_EQ(Get(kPropFlipV), 1);
  // Writing the orientation byte through register 0x0100 turns the flip off again.
  ASSERT_EQ(filter().WriteSensorRegister(0x0100, 0x0100), STATUS_SUCCESS);
  EXPECT_EQ(Get(kPropFlipV), 0);

  uint32_t value = 0;
  ASSERT_EQ(filter().ReadSensorRegister(0x3012, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 777u);
}

TEST_F(PropertyTest, FlipHReadsAsOffAndClearsTheSetting) {
  cam()->settings.flip_h = 1;
  Set(kPropFlipH, 1);
  EXPECT_EQ(cam()->settings.flip_h, 1u);  // a set does nothing
  EXPECT_EQ(Get(kPropFlipH), 0);
  EXPECT_EQ(cam()->settings.flip_h, 0u);
}

TEST_F(PropertyTest, RawCommandsAreCutTo63Bytes) {
  host().emulated().ClearRecord();
  std::vector<uint8_t> bytes(64);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i + 1);
  ASSERT_EQ(filter().RawCommand(bytes, 100), STATUS_SUCCESS);
  ASSERT_EQ(filter().RawCommand(bytes, 0), STATUS_SUCCESS);
  ASSERT_EQ(filter().RawCommand(bytes, -3), STATUS_SUCCESS);
  const auto sent = host().emulated().RawCommands();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], std::vector<uint8_t>(bytes.begin(), bytes.begin() + 63));
  EXPECT_EQ(sent[1], std::vector<uint8_t>(63, 0));
  EXPECT_EQ(sent[2], std::vector<uint8_t>(63, 0));
  // Nothing to read from a raw command.
  CameraBlockValue block{};
  block.Property = Header(kPropRawCommand, KSPROPERTY_TYPE_GET);
  EXPECT_EQ(filter().Request(&block, sizeof(block), &block, sizeof(block)), STATUS_UNSUCCESSFUL);
}

TEST_F(PropertyTest, MemoryByteReadsAtTheAddressAndWritesOnlyTheFirstPayloadByte) {
  CameraBlockValue block{};
  block.Property = Header(kPropMemoryByte, KSPROPERTY_TYPE_SET);
  block.Address = 0x0042;
  ASSERT_EQ(filter().Request(&block, sizeof(block), &block, sizeof(block)), STATUS_SUCCESS);
  EXPECT_EQ(cam()->access_address, 0x42u);

  CameraBlockValue data{};
  data.Property = Header(kPropMemoryByte, KSPROPERTY_TYPE_GET);
  data.Address = 0xDEAD;
  data.Count = 77;
  std::memset(data.Payload, 0xA5, sizeof(data.Payload));
  CameraBlockValue property = data;
  ULONG returned = 0;
  ASSERT_EQ(filter().Request(&property, sizeof(property), &data, sizeof(data), &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof(CameraBlockValue));
  EXPECT_EQ(data.Payload[0], host().emulated().Memory()[0x42]);
  EXPECT_EQ(data.Address, 0xDEADu);
  EXPECT_EQ(data.Count, 77);
  for (size_t i = 1; i < sizeof(data.Payload); ++i) ASSERT_EQ(data.Payload[i], 0xA5) << i;

  // The register item shares the address.
  Set(kPropSensorRegister, 0x3012);
  EXPECT_EQ(cam()->access_address, 0x3012u);
}

TEST_F(PropertyTest, RegionFollowsTheRequestUnlessLocked) {
  ASSERT_EQ(filter().SetRegion(8, 8, 640, 480, 0), STATUS_SUCCESS);
  EXPECT_EQ(Get(kPropRoiW), 640);
  EXPECT_EQ(Get(kPropRoiH), 480);
  EXPECT_EQ(cam()->video_data_range.VideoInfoHeader.bmiHeader.biWidth, 640);
  // An unknown subsampling mode is ignored, and the request still succeeds.
  ASSERT_EQ(filter().SetRegion(0, 0, 100, 100, 3), STATUS_SUCCESS);
  EXPECT_EQ(Get(kPropRoiW), 640);
  InterlockedIncrement(&cam()->region_locked);
  EXPECT_EQ(Get(kPropRegionLocked), 1);
  ASSERT_EQ(filter().SetRegion(0, 0, 0, 0, 1), STATUS_SUCCESS);
  EXPECT_EQ(Get(kPropSubSample), 0);
  EXPECT_EQ(Get(kPropRoiW), 640);
  InterlockedDecrement(&cam()->region_locked);
  ASSERT_EQ(filter().SetRegion(0, 0, 0, 0, 1), STATUS_SUCCESS);
  EXPECT_EQ(Get(kPropSubSample), 1);
}

TEST_F(PropertyTest, ConstantsAndReservedItems) {
  const struct {
    ULONG id;
    int32_t value;
  } constants[] = {{kPropExposureMin, 1},       {kPropExposureMax, 16383},   {kPropExposureDefault, 1200},
                   {kPropGlobalGainMax, 127},   {kPropGlobalGainDefault, 32}, {kPropColorGainMax, 512},
                   {kPropColorGainDefault, 128}, {kPropBrightnessMax, 510},    {kPropBrightnessDefault, 255},
                   {kPropContrastMax, 20},      {kPropContrastDefault, 10},  {kPropHueMax, 359},
                   {kPropSubSampleMax, 2},      {kPropSensorWidth, 4608},    {kPropSensorHeight, 3288},
                   {kPropReserved34, 1},        {kPropReserved3F, 0},        {kPropReserved44, 0}};
  for (const auto& c : constants) EXPECT_EQ(Get(c.id), c.value) << "item " << c.id;
  const CameraSettings before = cam()->settings;
  for (ULONG id : {kPropReserved2F, kPropReserved3F, kPropReserved40, kPropReserved41, kPropReserved42, kPropAgc,
                   kPropAec}) {
    Set(id, 99);
  }
  EXPECT_EQ(std::memcmp(&before, &cam()->settings, sizeof(before)), 0);
}

TEST_F(PropertyTest, TheHostRefusesShortBuffersAndMissingHandlersBeforeTheDriver) {
  Set(kPropBrightness, 100);
  uint8_t data[32] = {};
  KSPROPERTY set = Header(kPropBrightness, KSPROPERTY_TYPE_SET);
  std::memcpy(data, &set, sizeof(set));
  const int32_t value = 200;
  std::memcpy(data + 24, &value, sizeof(value));
  uint8_t property[32] = {};
  std::memcpy(property, &set, sizeof(set));
  EXPECT_EQ(filter().Request(property, 31, data, 32), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(filter().Request(property, 32, data, 31), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(filter().Request(property, 23, data, 32), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(cam()->settings.brightness, 100u);

  // A get with no data buffer asks for the size.
  KSPROPERTY get = Header(kPropMemoryByte, KSPROPERTY_TYPE_GET);
  uint8_t block[96] = {};
  std::memcpy(block, &get, sizeof(get));
  ULONG needed = 0;
  EXPECT_EQ(filter().Request(block, 96, nullptr, 0, &needed), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(needed, 96u);
  EXPECT_EQ(filter().Request(block, 95, block, 96), STATUS_BUFFER_TOO_SMALL);

  // No handler for that kind of request, no such item, another set.
  int32_t v = 0;
  EXPECT_EQ(filter().Get(kPropReinitialize, &v), STATUS_NOT_FOUND);
  EXPECT_EQ(filter().Set(kPropExposureMax, 5), STATUS_NOT_FOUND);
  EXPECT_EQ(filter().Get(kCameraPropertyCount, &v), STATUS_NOT_FOUND);
  KSPROPERTY other = Header(0, KSPROPERTY_TYPE_GET);
  other.Set.Data1 ^= 1;
  uint8_t other_data[32] = {};
  EXPECT_EQ(filter().Request(&other, sizeof(other), other_data, 32), STATUS_NOT_FOUND);
  EXPECT_EQ(filter().Access(kPropRegion), static_cast<ULONG>(KSPROPERTY_TYPE_SET));
  EXPECT_EQ(filter().Access(kPropExposure), static_cast<ULONG>(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
}

TEST_F(PropertyTest, ClockIsStoredAndProgrammedReinitializeReloads) {
  Set(kPropClock, 1);
  EXPECT_EQ(cam()->settings.clock, 1u);
  EXPECT_EQ(Get(kPropClock), 1);
  Set(kPropBrightness, 400);
  // Re-initialising loads the stored settings: nothing was saved yet, so the defaults return.
  Set(kPropReinitialize, 0);
  EXPECT_EQ(Get(kPropBrightness), 255);
}

}  // namespace
}  // namespace kscam::property_test
