// The transport against the emulated camera: what the driver sends is what a real sensor
// receives, and what the camera sends is what the driver delivers.
#include "emulator/camera.h"
#include "emulator/device_memory.h"
#include "tests/usb/camera_fixture.h"

namespace kscam::test {
namespace {

using emulator::EmulatedCamera;

class EmulatedCameraTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    emulator::CameraOptions options;
    options.serial = "KSC-424242";
    camera = std::make_shared<EmulatedCamera>(options);
    t = std::make_unique<TestCamera>(std::static_pointer_cast<usb::UsbDevice>(camera));
    ASSERT_EQ(t->Configure(), STATUS_SUCCESS);
  }
  void TearDown() override { t.reset(); }

  // Programs a small full-frame readout the way capture-mode programming does: frame size in
  // the controller registers, then streaming on.
  void StartStreaming(uint32_t frame_bytes) {
    for (UCHAR i = 0; i < 4; ++i) ASSERT_TRUE(WriteControllerRegister(t->camera(), i, UCHAR(frame_bytes >> (8 * i))));
    ASSERT_TRUE(WriteSensorRegister(t->camera(), 0x301A, 0x0004));
    ASSERT_TRUE(camera->Streaming());
    ASSERT_EQ(camera->FrameBytes(), frame_bytes);
  }
  bool Read(std::vector<uint8_t>* data = nullptr) {
    RawBuffer buffer(static_cast<size_t>(t->camera()->frame_bytes));
    BOOLEAN success = FALSE;
    t->camera()->ReadFrame(buffer.data(), &success);
    if (data) data->assign(buffer.data(), buffer.data() + buffer.size());
    return success == TRUE;
  }

  FrameTimeoutScope patient{kPatientFrameTimeoutMs};
  std::shared_ptr<EmulatedCamera> camera;
  std::unique_ptr<TestCamera> t;
};

TEST_F(EmulatedCameraTransport, RegistersAndMemoryRoundTrip) {
  ULONG value = 0;
  ASSERT_TRUE(ReadSensorRegister(t->camera(), 0x3040, &value));
  EXPECT_EQ(value, 0x0041u);  // reset default
  ASSERT_TRUE(WriteSensorRegister(t->camera(), 0x3040, 0x8041));
  ASSERT_TRUE(ReadSensorRegister(t->camera(), 0x3040, &value));
  EXPECT_EQ(value, 0x8041u);
  EXPECT_EQ(camera->SensorWrites().back(), (emulator::SensorWrite{0x3040, 0x8041}));

  ASSERT_TRUE(WriteControllerRegister(t->camera(), 11, 0x25));
  EXPECT_EQ(camera->ControllerRegister(11), 0x25);

  std::string serial;
  for (uint16_t i = 0; i < emulator::kSerialSize; ++i) {
    t->camera()->access_address = emulator::kSerialOffset + i;
    UCHAR byte = 0xAA;
    ReadDeviceMemoryByte(t->camera(), &byte);
    if (byte == 0) break;
    serial.push_back(char(byte));
  }
  EXPECT_EQ(serial, "KSC-424242");

  const UCHAR raw[] = {1, 2, 3};
  SendRawCommand(t->camera(), 3, raw);
  ASSERT_FALSE(camera->RawCommands().empty());
  EXPECT_EQ(camera->RawCommands().back()[0], 1);
}

TEST_F(EmulatedCameraTransport, ReadsTheFramesTheCameraSends) {
  const auto readout = camera->CurrentReadout();
  (void)readout;
  camera->KeepFrameData(2);
  const uint32_t frame_bytes = 15151104;  // the full sensor
  t->SetGeometry(4608, 3288, frame_bytes);
  StartStreaming(frame_bytes);
  std::vector<uint8_t> data;
  ASSERT_TRUE(Read(&data));
  auto frames = camera->Frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_TRUE(frames.back().complete);
  ASSERT_EQ(frames.back().data.size(), data.size());
  EXPECT_TRUE(frames.back().data == data);
  ASSERT_TRUE(Read());
  EXPECT_EQ(t->Transfers(kFrameEndpoint).size(), 2 * 232u);
}

TEST_F(EmulatedCameraTransport, ChunkFaultsAndStallsFailOneFrameOnly) {
  const uint32_t frame_bytes = 15151104;
  t->SetGeometry(4608, 3288, frame_bytes);
  StartStreaming(frame_bytes);
  camera->FailChunk(3, emulator::ChunkFault::Error);
  EXPECT_FALSE(Read());
  EXPECT_TRUE(Read());
  camera->FailChunk(3, emulator::ChunkFault::Short, 1000);
  EXPECT_FALSE(Read());
  EXPECT_TRUE(Read());
  camera->StallPipe(kFrameEndpoint);
  EXPECT_FALSE(Read());
  EXPECT_TRUE(Read());
  t->bus().Drain();
  EXPECT_EQ(t->port().OutstandingTransfers(), 0u);
}

TEST_F(EmulatedCameraTransport, WithheldFramesTimeOutWithNothingOutstanding) {
  const uint32_t frame_bytes = 307200;
  t->SetGeometry(640, 480, frame_bytes);
  StartStreaming(frame_bytes);
  camera->WithholdFrames(true);
  {
    FrameTimeoutScope timeout(200);
    EXPECT_FALSE(Read());
  }
  t->bus().Drain();
  EXPECT_EQ(t->port().OutstandingTransfers(), 0u);
  camera->WithholdFrames(false);
  EXPECT_TRUE(Read());
}

TEST_F(EmulatedCameraTransport, CameraThatNeverRepliesFailsEachReadOnce) {
  camera->DropReplies();
  ULONG value = 7;
  EXPECT_FALSE(ReadSensorRegister(t->camera(), 0x3040, &value));
  EXPECT_FALSE(ReadSensorRegister(t->camera(), 0x3040, &value));
  EXPECT_EQ(value, 7u);
  camera->ClearFaults();
  ASSERT_TRUE(ReadSensorRegister(t->camera(), 0x3040, &value));
  EXPECT_EQ(value, 0x0041u);
}

TEST_F(EmulatedCameraTransport, LateRepliesAreDrained) {
  ASSERT_TRUE(WriteSensorRegister(t->camera(), 0x3012, 0x1234));
  camera->DelayReplies(std::chrono::milliseconds(1500), 2);
  ULONG value = 0;
  EXPECT_FALSE(ReadSensorRegister(t->camera(), 0x3040, &value));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  ASSERT_TRUE(ReadSensorRegister(t->camera(), 0x3012, &value));
  EXPECT_EQ(value, 0x1234u);
}

TEST_F(EmulatedCameraTransport, DisconnectAndReconnect) {
  camera->Disconnect();
  EXPECT_FALSE(WriteSensorRegister(t->camera(), 0x3040, 1));
  ULONG status = 0xFF;
  EXPECT_EQ(SendInternalRequest(t->usb(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
  EXPECT_EQ(status, 0u);
  camera->Reconnect();
  EXPECT_EQ(ResetPort(t->usb()), STATUS_SUCCESS);
  // After the power cycle the camera is unconfigured: it has to be configured again.
  ReleaseUsbConfiguration(t->usb());
  EXPECT_EQ(t->Configure(), STATUS_SUCCESS);
  EXPECT_TRUE(WriteSensorRegister(t->camera(), 0x3040, 1));
}

}  // namespace
}  // namespace kscam::test
