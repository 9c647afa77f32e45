// The emulated camera's USB identity, command protocol, registers, memory and faults.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "camera_port.h"
#include "emulator/device_memory.h"

namespace kscam::emulator::testing {
namespace {

TEST(CameraUsb, DescriptorsDescribeOneInterfaceWithThreeBulkEndpointsInOrder) {
  EmulatedCamera cam;
  auto dev = cam.DeviceDescriptor();
  ASSERT_EQ(dev.size(), 18u);
  EXPECT_EQ(dev[0], 18);
  EXPECT_EQ(dev[1], 1);
  EXPECT_EQ(dev[8] | dev[9] << 8, kVendorId);
  EXPECT_EQ(dev[10] | dev[11] << 8, kProductId);
  EXPECT_EQ(dev[17], 1);  // one configuration

  auto cfg = cam.ConfigurationDescriptor();
  ASSERT_GE(cfg.size(), 9u);
  ASSERT_EQ(size_t(cfg[2] | cfg[3] << 8), cfg.size());
  EXPECT_EQ(cfg[4], 1);  // one interface
  // Walk the descriptors: one interface of three endpoints, then the endpoints in order.
  std::vector<std::pair<uint8_t, uint8_t>> endpoints;
  int interfaces = 0;
  for (size_t at = cfg[0]; at < cfg.size(); at += cfg[at]) {
    ASSERT_GE(cfg[at], 2);
    if (cfg[at + 1] == 4) {
      ++interfaces;
      EXPECT_EQ(cfg[at + 4], 3);
    }
    if (cfg[at + 1] == 5) {
      endpoints.push_back({cfg[at + 2], cfg[at + 3]});
      EXPECT_EQ(cfg[at + 4] | cfg[at + 5] << 8, 512);
    }
  }
  EXPECT_EQ(interfaces, 1);
  EXPECT_EQ(endpoints, (std::vector<std::pair<uint8_t, uint8_t>>{{0x01, 2}, {0x81, 2}, {0x82, 2}}));

  cam.OverrideConfigurationDescriptor(std::vector<uint8_t>{9, 2, 5, 0, 1});
  EXPECT_EQ(cam.ConfigurationDescriptor().size(), 5u);
  cam.ClearFaults();
  EXPECT_EQ(cam.ConfigurationDescriptor(), cfg);
}

TEST(CameraUsb, TransfersNeedAConfigurationAndAKnownEndpoint) {
  EmulatedCamera cam;
  Packet p = Port::Command({0x04, 0x30, 0x12, 0x01, 0x00});
  auto unconfigured = Pending::Submit(cam, kCommandEndpoint, p.data(), 64);
  ASSERT_TRUE(unconfigured->Wait());
  EXPECT_EQ(unconfigured->status, TransferStatus::Error);
  EXPECT_FALSE(cam.SetConfiguration(2));
  ASSERT_TRUE(cam.SetConfiguration(1));
  auto unknown = Pending::Submit(cam, 0x83, p.data(), 64);
  ASSERT_TRUE(unknown->Wait());
  EXPECT_EQ(unknown->status, TransferStatus::Error);
  EXPECT_TRUE(cam.SensorWrites().empty());

  // Unconfiguring cancels what is pending.
  Packet reply{};
  auto waiting = Pending::Submit(cam, kReplyEndpoint, reply.data(), 64);
  EXPECT_TRUE(cam.SetConfiguration(0));
  ASSERT_TRUE(waiting->Wait());
  EXPECT_EQ(waiting->status, TransferStatus::Cancelled);
}

TEST(CameraRegisters, ResetDefaultsAndTheResetBit) {
  EmulatedCamera cam;
  Port port(cam);
  EXPECT_EQ(port.ReadSensor(0x3040), 0x0041);
  EXPECT_EQ(port.ReadSensor(0x0302), 0x0001);
  EXPECT_EQ(port.ReadSensor(0x0000), kModelId);
  port.WriteSensor(0x3040, 0xC0C3);
  port.WriteSensor(0x0302, 4);
  port.WriteSensor(0x3012, 3430);
  port.WriteSensor(0x1234, 0xBEEF);
  EXPECT_EQ(port.ReadSensor(0x1234), 0xBEEF);
  EXPECT_EQ(port.ReadSensor(0x3012), 3430);
  port.WriteSensor(0x301A, 0x0001);
  EXPECT_EQ(port.ReadSensor(0x3040), 0x0041);
  EXPECT_EQ(port.ReadSensor(0x0302), 0x0001);
  EXPECT_EQ(port.ReadSensor(0x1234), 0x0000);
  EXPECT_EQ(port.ReadSensor(0x301A), 0x0010);  // the reset bit clears itself
  EXPECT_FALSE(cam.Streaming());
}

TEST(CameraRegisters, SensorReadRepliesEchoTheCommandThenCarryTheValue) {
  EmulatedCamera cam;
  Port port(cam);
  port.WriteSensor(0x3040, 0x8041);
  ASSERT_TRUE(port.Send(Port::Command({0x0C, 0x30, 0x40, 0x88, 0x88})));
  auto echo = port.Receive();
  auto value = port.Receive();
  ASSERT_TRUE(echo && value);
  EXPECT_EQ((*echo)[0], 0x0C);
  EXPECT_EQ((*echo)[1], 0x30);
  EXPECT_EQ((*echo)[2], 0x40);
  EXPECT_EQ((*value)[0], 0x80);
  EXPECT_EQ((*value)[1], 0x41);
  // A write packet is recorded byte for byte.
  auto commands = cam.Commands();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands[0].packet[0], 0x04);
  EXPECT_EQ(cam.SensorWrites(), (std::vector<SensorWrite>{{0x3040, 0x8041}}));
}

TEST(CameraRegisters, OrientationAliasReadsAndWritesTheFlip) {
  EmulatedCamera cam;
  Port port(cam);
  EXPECT_EQ(port.ReadSensor(0x0100), 0x0000);
  port.WriteSensor(0x3040, 0x80C3);
  EXPECT_EQ(port.ReadSensor(0x0100), 0x0002);  // bit 1: vertical flip
  port.WriteSensor(0x3040, 0x40C3);
  EXPECT_EQ(port.ReadSensor(0x0100), 0x0001);  // bit 0: mirror
  port.WriteSensor(0x301A, 0x10DC);
  EXPECT_EQ(port.ReadSensor(0x0100), 0x0101);  // high byte: streaming

  port.WriteSensor(0x0100, 0x0102);
  EXPECT_EQ(port.ReadSensor(0x3040), 0x80C3);  // flip on, mirror off, pattern kept
  EXPECT_TRUE(cam.CurrentReadout().flip);
  EXPECT_TRUE(cam.Streaming());
  port.WriteSensor(0x0100, 0x0000);  // what the sensor program writes: standby, no flip
  EXPECT_EQ(port.ReadSensor(0x3040), 0x00C3);
  EXPECT_FALSE(cam.Streaming());
}

TEST(CameraRegisters, ControllerWritesAndRawCommandsAreKeptAndRecorded) {
  EmulatedCamera cam;
  Port port(cam);
  port.SetFrameBytes(15'151'104);
  EXPECT_EQ(cam.FrameBytes(), 15'151'104u);
  EXPECT_EQ(cam.ControllerRegister(1), 0x30);
  EXPECT_EQ(cam.ControllerRegister(2), 0xE7);
  port.WriteController(11, 0x25);
  EXPECT_EQ(cam.ControllerWrites().back(), (ControllerWrite{11, 0x25}));

  Packet raw{};
  raw[0] = 0x40;
  for (int i = 1; i < 64; ++i) raw[i] = uint8_t(i);
  ASSERT_TRUE(port.Send(raw));
  auto raws = cam.RawCommands();
  ASSERT_EQ(raws.size(), 1u);
  ASSERT_EQ(raws[0].size(), 63u);
  EXPECT_EQ(raws[0][62], 63);
}

TEST(CameraMemory, SerialAndFirmwareReadByteByByte) {
  CameraOptions options;
  options.serial = "KSC-4242";
  options.firmware = "2.7.1";
  EmulatedCamera cam(options);
  Port port(cam);
  auto text = [&](uint16_t offset) {
    std::string s;
    for (uint16_t i = 0; i < 64; ++i) {
      auto b = port.ReadMemory(uint16_t(offset + i));
      if (!b || *b == 0) break;
      s += char(*b);
    }
    return s;
  };
  EXPECT_EQ(text(kSerialOffset), "KSC-4242");
  EXPECT_EQ(text(kFirmwareOffset), "2.7.1");
  EXPECT_EQ(port.ReadMemory(0xFFFF), 0xFF);
  EXPECT_EQ(port.ReadMemory(0x1234), 0xFF);
}

TEST(CameraFaults, DroppedRepliesLeaveTheReadWaitingUntilCancelled) {
  EmulatedCamera cam;
  Port port(cam);
  cam.DropReplies();
  ASSERT_TRUE(port.Send(Port::Command({0x0C, 0x30, 0x40, 0x88, 0x88})));
  Packet p{};
  auto reply = Pending::Submit(cam, kReplyEndpoint, p.data(), 64);
  EXPECT_FALSE(reply->Wait(50ms));
  cam.Cancel(reply->transfer.get());
  ASSERT_TRUE(reply->Wait());
  EXPECT_EQ(reply->status, TransferStatus::Cancelled);
  cam.Cancel(reply->transfer.get());  // a second cancel finds nothing to do
  EXPECT_EQ(reply->completions, 1);

  cam.ClearFaults();
  EXPECT_EQ(port.ReadSensor(0x3040), 0x0041);
}

TEST(CameraFaults, CountedDropsAffectOnlyTheNextReplies) {
  EmulatedCamera cam;
  Port port(cam);
  cam.DropReplies(2);
  EXPECT_FALSE(port.ReadSensor(0x3040, 100ms));
  EXPECT_EQ(port.ReadSensor(0x3040), 0x0041);
}

TEST(CameraFaults, ShortRepliesMoveFewerBytes) {
  EmulatedCamera cam;
  Port port(cam);
  cam.ShortenReplies(32, 1);
  ASSERT_TRUE(port.Send(Port::Command({0x0C, 0x30, 0x40, 0x88, 0x88})));
  Packet p{};
  auto first = Pending::Submit(cam, kReplyEndpoint, p.data(), 64);
  ASSERT_TRUE(first->Wait());
  EXPECT_EQ(first->status, TransferStatus::Success);
  EXPECT_EQ(first->actual, 32u);
  auto second = Pending::Submit(cam, kReplyEndpoint, p.data(), 64);
  ASSERT_TRUE(second->Wait());
  EXPECT_EQ(second->actual, 64u);
}

TEST(CameraFaults, LateRepliesArriveAfterTheDelayAndAnswerWhoeverAsksNext) {
  EmulatedCamera cam;
  Port port(cam);
  cam.DelayReplies(400ms, 2);
  port.WriteSensor(0x3012, 1111);
  ASSERT_TRUE(port.Send(Port::Command({0x0C, 0x30, 0x12, 0x88, 0x88})));
  EXPECT_FALSE(port.Receive(10ms));  // gave up before the camera answered
  port.WriteSensor(0x3012, 2222);
  // The next read gets the late pair first, as a careless driver would.
  ASSERT_TRUE(port.Send(Port::Command({0x0C, 0x30, 0x12, 0x88, 0x88})));
  auto echo = port.Receive();
  auto value = port.Receive();
  ASSERT_TRUE(echo && value);
  EXPECT_EQ((*value)[0] << 8 | (*value)[1], 1111);
}

TEST(CameraFaults, StalledPipeFailsUntilReset) {
  EmulatedCamera cam;
  Port port(cam);
  Packet p{};
  auto pending = Pending::Submit(cam, kReplyEndpoint, p.data(), 64);
  cam.StallPipe(kReplyEndpoint);
  ASSERT_TRUE(pending->Wait());
  EXPECT_EQ(pending->status, TransferStatus::Stalled);
  EXPECT_FALSE(port.ReadSensor(0x3040));
  cam.ResetPipe(kReplyEndpoint);
  // The stalled read's replies are still queued; a fresh read gets the stale pair first.
  port.Receive();
  port.Receive();
  EXPECT_EQ(port.ReadSensor(0x3040), 0x0041);
}

TEST(CameraFaults, DisconnectFailsEverythingAndReconnectIsAPowerCycle) {
  EmulatedCamera cam;
  Port port(cam);
  port.WriteSensor(0x3012, 777);
  port.WriteController(11, 0x25);
  Packet p{};
  auto pending = Pending::Submit(cam, kReplyEndpoint, p.data(), 64);
  cam.Disconnect();
  EXPECT_FALSE(cam.Connected());
  ASSERT_TRUE(pending->Wait());
  EXPECT_EQ(pending->status, TransferStatus::NoDevice);
  auto later = Pending::Submit(cam, kCommandEndpoint, p.data(), 64);
  ASSERT_TRUE(later->Wait());
  EXPECT_EQ(later->status, TransferStatus::NoDevice);
  EXPECT_FALSE(cam.SetConfiguration(1));

  cam.Reconnect();
  EXPECT_TRUE(cam.Connected());
  EXPECT_EQ(cam.Configuration(), 0);
  ASSERT_TRUE(cam.SetConfiguration(1));
  EXPECT_EQ(port.ReadSensor(0x3012), 16);
  EXPECT_EQ(cam.ControllerRegister(11), 0);
}

TEST(CameraFaults, AbortAndPortResetCancelPendingTransfers) {
  EmulatedCamera cam;
  Port port(cam);
  Packet a{}, b{};
  auto first = Pending::Submit(cam, kReplyEndpoint, a.data(), 64);
  auto second = Pending::Submit(cam, kReplyEndpoint, b.data(), 64);
  cam.AbortPipe(kReplyEndpoint);
  ASSERT_TRUE(first->Wait() && second->Wait());
  EXPECT_EQ(first->status, TransferStatus::Cancelled);
  EXPECT_EQ(second->status, TransferStatus::Cancelled);

  cam.StallPipe(kFrameEndpoint);
  std::vector<uint8_t> buffer(1024);
  auto frame = Pending::Submit(cam, kFrameEndpoint, buffer.data(), 1024);
  auto reply = Pending::Submit(cam, kReplyEndpoint, a.data(), 64);
  ASSERT_TRUE(frame->Wait());
  EXPECT_EQ(frame->status, TransferStatus::Stalled);
  cam.PortReset();
  ASSERT_TRUE(reply->Wait());
  EXPECT_EQ(reply->status, TransferStatus::Cancelled);
  EXPECT_EQ(cam.Configuration(), 1);
  EXPECT_EQ(port.ReadSensor(0x3040), 0x0041);  // halt cleared, camera kept
}

TEST(CameraFaults, CancelRacingCompletionCompletesEachTransferOnce) {
  EmulatedCamera cam;
  Port port(cam);
  for (int round = 0; round < 200; ++round) {
    ASSERT_TRUE(port.Send(Port::Command({0x41, 0x51, 0x02, 0x01, 0x00, 0x00})));
    Packet a{}, b{};
    auto first = Pending::Submit(cam, kReplyEndpoint, a.data(), 64);
    auto second = Pending::Submit(cam, kReplyEndpoint, b.data(), 64);
    std::thread canceller([&] {
      cam.Cancel(first->transfer.get());
      cam.Cancel(second->transfer.get());
    });
    canceller.join();
    ASSERT_TRUE(first->Wait() && second->Wait());
    EXPECT_EQ(first->completions, 1);
    EXPECT_EQ(second->completions, 1);
    // Replies not taken stay queued: drain them for the next round.
    while (port.Receive(5ms)) {
    }
  }
}

TEST(CameraInstances, SeveralCamerasKeepTheirOwnState) {
  EmulatedCamera a, b;
  Port pa(a), pb(b);
  pa.WriteSensor(0x3012, 100);
  pb.WriteSensor(0x3012, 200);
  EXPECT_EQ(pa.ReadSensor(0x3012), 100);
  EXPECT_EQ(pb.ReadSensor(0x3012), 200);
  b.Disconnect();
  EXPECT_TRUE(a.Connected());
  EXPECT_EQ(pa.ReadSensor(0x3012), 100);
}

}  // namespace
}  // namespace kscam::emulator::testing
