// The command protocol: packet bytes of each register operation, replies, failures, and the
// bounded waits of camera control.
#include "tests/usb/camera_fixture.h"
#include "usb/camera_control.h"

namespace kscam::test {
namespace {

std::vector<uint8_t> Packet(std::initializer_list<uint8_t> head) {
  std::vector<uint8_t> p(head);
  p.resize(64, 0);
  return p;
}

std::vector<std::vector<uint8_t>> CommandsSent(TestCamera& t) {
  std::vector<std::vector<uint8_t>> out;
  for (auto& r : t.Transfers(kCommandEndpoint)) out.push_back(r.data);
  return out;
}

class CommandPackets : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(t.Configure(), STATUS_SUCCESS); t.port().ClearLog(); }
  TestCamera t;
};

TEST_F(CommandPackets, EachOperationSendsItsPacketBytes) {
  EXPECT_TRUE(WriteSensorRegister(t.camera(), 0x305E, 0x1120));
  EXPECT_TRUE(WriteControllerRegister(t.camera(), 11, 0x25));
  t.camera()->access_address = 0x1234;
  t.script().memory[0x1234] = 0x5A;
  UCHAR byte = 0;
  ReadDeviceMemoryByte(t.camera(), &byte);
  EXPECT_EQ(byte, 0x5A);
  std::vector<uint8_t> raw(70);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(0x80 + i);
  SendRawCommand(t.camera(), 70, raw.data());

  auto sent = CommandsSent(t);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], Packet({0x04, 0x30, 0x5E, 0x11, 0x20}));
  EXPECT_EQ(sent[1], Packet({0x25, 0x0B, 0x25}));
  EXPECT_EQ(sent[2], Packet({0x41, 0x51, 0x02, 0x01, 0x12, 0x34}));
  std::vector<uint8_t> expected_raw = {0x40};
  expected_raw.insert(expected_raw.end(), raw.begin(), raw.begin() + 63);
  EXPECT_EQ(sent[3], expected_raw);

  // A negative count copies nothing.
  SendRawCommand(t.camera(), -5, raw.data());
  EXPECT_EQ(CommandsSent(t).back(), Packet({0x40}));
  // Every packet is 64 bytes on the command pipe, with short transfers allowed.
  for (auto& r : t.Transfers(kCommandEndpoint)) {
    EXPECT_EQ(r.length, 64u);
    EXPECT_FALSE(r.in);
    EXPECT_TRUE(r.short_ok);
  }
}

TEST_F(CommandPackets, SensorRegisterReadTakesTheSecondReply) {
  t.script().sensor[0x3040] = 0x8041;
  ULONG value = 0;
  ASSERT_TRUE(ReadSensorRegister(t.camera(), 0x3040, &value));
  EXPECT_EQ(value, 0x8041u);
  EXPECT_EQ(CommandsSent(t)[0], Packet({0x0C, 0x30, 0x40, 0x88, 0x88}));
  auto replies = t.Transfers(kReplyEndpoint);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_TRUE(replies[0].in);
}

TEST_F(CommandPackets, ShortReplyFailsTheReadAndKeepsTheValue) {
  t.script().reply_bytes = 32;
  ULONG value = 0xABCD;
  EXPECT_FALSE(ReadSensorRegister(t.camera(), 0x3040, &value));
  EXPECT_EQ(value, 0xABCDu);
  UCHAR byte = 0x77;
  ReadDeviceMemoryByte(t.camera(), &byte);
  EXPECT_EQ(byte, 0x77);
}

TEST_F(CommandPackets, PipeChecksRejectBeforeAnythingIsSent) {
  UCHAR packet[64] = {};
  ULONG moved = 99;
  EXPECT_EQ(TransferPacket(t.camera(), 3, packet, &moved), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(moved, 0u);
  PUSBD_PIPE_INFORMATION pipe = PipeAt(t.usb(), 0);
  pipe->MaximumTransferSize = 63;
  EXPECT_EQ(TransferPacket(t.camera(), 0, packet, &moved), STATUS_INVALID_PARAMETER);
  pipe->MaximumTransferSize = 0xFFFFFFFF;
  pipe->PipeType = UsbdPipeTypeIsochronous;
  EXPECT_EQ(TransferPacket(t.camera(), 0, packet, &moved), STATUS_INVALID_PARAMETER);
  pipe->PipeType = UsbdPipeTypeBulk;
  USBD_PIPE_HANDLE handle = pipe->PipeHandle;
  pipe->PipeHandle = nullptr;
  EXPECT_EQ(TransferPacket(t.camera(), 0, packet, &moved), STATUS_UNSUCCESSFUL);
  pipe->PipeHandle = handle;
  EXPECT_FALSE(SendPacket(t.camera(), nullptr));
  EXPECT_FALSE(ReceivePacket(t.camera(), nullptr));
  EXPECT_TRUE(t.port().Log().empty());

  ASSERT_EQ(TransferPacket(t.camera(), 0, packet, &moved), STATUS_SUCCESS);
  EXPECT_EQ(moved, 64u);
}

TEST(CommandPacketsUnconfigured, EverythingFailsWithoutAnInterface) {
  TestCamera t;
  UCHAR packet[64] = {};
  ULONG moved = 0;
  EXPECT_EQ(TransferPacket(t.camera(), 0, packet, &moved), STATUS_UNSUCCESSFUL);
  ULONG value = 5;
  EXPECT_FALSE(WriteSensorRegister(t.camera(), 0x301A, 1));
  EXPECT_FALSE(ReadSensorRegister(t.camera(), 0x301A, &value));
  EXPECT_EQ(value, 5u);
  SendStreamCommand(t.camera(), true);
  EXPECT_TRUE(t.port().Log().empty());
}

TEST_F(CommandPackets, SilentCameraCostsOneTimeOutPerOperation) {
  t.script().replies = false;
  ULONG value = 1;
  EXPECT_FALSE(ReadSensorRegister(t.camera(), 0x3000, &value));
  EXPECT_EQ(value, 1u);
  // The abandoned reply read is not left outstanding.
  EXPECT_EQ(t.port().OutstandingTransfers(), 0u);
  EXPECT_EQ(t.device().WaitingTransfers(), 0u);

  // Inside one operation, the packets after the time-out fail without being sent.
  t.port().ClearLog();
  {
    CameraControlLock operation(t.camera());
    EXPECT_FALSE(ReadSensorRegister(t.camera(), 0x3000, &value));
    EXPECT_FALSE(WriteSensorRegister(t.camera(), 0x3000, 1));
    EXPECT_FALSE(ReadSensorRegister(t.camera(), 0x3002, &value));
  }
  size_t reads = 0, writes = 0;
  for (auto& p : CommandsSent(t)) {
    reads += p[0] == 0x0C;
    writes += p[0] == 0x04;
  }
  EXPECT_EQ(reads, 1u);
  EXPECT_EQ(writes, 0u);
  // The next operation starts afresh.
  EXPECT_TRUE(WriteSensorRegister(t.camera(), 0x3000, 1));
}

TEST_F(CommandPackets, LateRepliesNeverAnswerTheNextRead) {
  t.script().sensor[0x1111] = 0x1111;
  t.script().sensor[0x2222] = 0x2222;
  t.script().replies = false;
  ULONG value = 0;
  EXPECT_FALSE(ReadSensorRegister(t.camera(), 0x1111, &value));
  // The camera answers the abandoned read late.
  t.device().QueueIn(kReplyEndpoint, Packet({0x0C, 0x11, 0x11}));
  t.device().QueueIn(kReplyEndpoint, Packet({0x11, 0x11}));
  t.script().replies = true;
  ASSERT_TRUE(ReadSensorRegister(t.camera(), 0x2222, &value));
  EXPECT_EQ(value, 0x2222u);
  ASSERT_TRUE(ReadSensorRegister(t.camera(), 0x1111, &value));
  EXPECT_EQ(value, 0x1111u);
}

TEST_F(CommandPackets, DisconnectedCameraFailsEveryOperation) {
  t.device().SetConnected(false);
  ULONG value = 3;
  EXPECT_FALSE(WriteSensorRegister(t.camera(), 0x301A, 1));
  EXPECT_FALSE(ReadSensorRegister(t.camera(), 0x301A, &value));
  EXPECT_EQ(value, 3u);
}

}  // namespace
}  // namespace kscam::test
