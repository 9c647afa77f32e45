// Device Start's camera initialisation and the sensor program, as the camera receives them.
#include "camera/region.h"
#include "camera/sensor.h"
#include "settings/settings_store.h"
#include "tests/camera/camera_host.h"
#include "tests/camera/command_record.h"

namespace kscam::camera_test {
namespace {

// FNV-1a over the sequencer microcode's words, high byte first.
uint32_t MicrocodeHash(const std::vector<uint16_t>& words) {
  uint32_t h = 2166136261u;
  for (uint16_t w : words) {
    for (uint8_t b : {uint8_t(w >> 8), uint8_t(w)}) h = (h ^ b) * 16777619u;
  }
  return h;
}

// The microcode words as the camera received them at `program` (the program's first write).
std::vector<uint16_t> Microcode(const std::vector<Op>& ops, size_t program) {
  std::vector<uint16_t> words;
  for (size_t i = program + 25; i < ops.size() && words.size() < 167; ++i) words.push_back(ops[i].value);
  return words;
}

void ExpectProgramAt(const std::vector<Op>& ops, size_t at) {
  ASSERT_GE(ops.size(), at + 273);
  const auto microcode = Microcode(ops, at);
  EXPECT_EQ(MicrocodeHash(microcode), 0xE9857E18u);
  const std::vector<Op> program(ops.begin() + at, ops.begin() + at + 273);
  const auto expected = ExpectedProgram(microcode);
  ASSERT_EQ(expected.size(), 273u);  // 272 sensor writes and the controller write
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(program[i], expected[i]) << "program step " << i;
}

TEST(SensorProgram, StartSendsInitialiseProgramAndTheDefaultSettings) {
  CameraHost host;
  const auto ops = Ops(host.emulated());
  ASSERT_FALSE(ops.empty());
  EXPECT_EQ(ops[0].kind, Op::Initialize);
  ExpectProgramAt(ops, 1);
  EXPECT_EQ(Microcode(ops, 1).front(), 0x0439);
  EXPECT_EQ(Microcode(ops, 1).back(), 0x8070);

  // An empty settings key: the defaults go through the setters, the clock is read back from
  // the divider the program left.
  const std::vector<Op> load(ops.begin() + 274, ops.end());
  const std::vector<Op> expected_load = {R(0x0302),       W(0x3012, 1),      W(0x305E, 0x1100), R(0x3040),
                                         W(0x3040, 0x0041), W(0x3046, 0),    W(0x3048, 0x0020), W(0x3162, 0x009F),
                                         C(11, 0)};
  EXPECT_EQ(load, expected_load);

  const CameraSettings& s = host.cam()->settings;
  EXPECT_GE(s.exposure, 1u);
  EXPECT_EQ(host.emulated().SensorRegister(0x3012), 1);
  EXPECT_EQ(s.clock, 0u);  // divider 2
  EXPECT_EQ(s.timeout_ms, 3000);
  EXPECT_EQ(s.global_gain, 0u);
  EXPECT_EQ(s.bayer_phase, 0u);
  EXPECT_EQ(s.roi_w, 4608);
  EXPECT_EQ(s.roi_h, 3288);
  // The program's last control value, not yet the capture mode's.
  EXPECT_EQ(host.emulated().SensorRegister(0x301A), 0x10DC);
  EXPECT_EQ(host.emulated().SensorRegister(0x034C), 4608);
}

TEST(SensorProgram, InitialiseAfterCaptureModeResetsButLeavesTheModeForTheNextProgramming) {
  CameraHost host;
  CameraDevice* cam = host.cam();
  SetRegion(cam, 100, 51, 640, 480, 0);
  cam->ConfigureCaptureMode();
  ASSERT_TRUE(host.emulated().Streaming());
  ASSERT_EQ(host.emulated().SensorRegister(0x0344), 124);
  // The region survives the reset's settings load only as stored settings.
  ASSERT_TRUE(SaveSettings(cam));

  const size_t mark = host.emulated().Commands().size();
  EXPECT_TRUE(InitializeCamera(cam));
  const auto ops = Ops(host.emulated(), mark);
  ASSERT_FALSE(ops.empty());
  EXPECT_EQ(ops[0].kind, Op::Initialize);
  ExpectProgramAt(ops, 1);
  // Window, output size and streaming are the sensor's reset values until the next programming.
  EXPECT_EQ(host.emulated().SensorRegister(0x301A), 0x10DC);
  EXPECT_EQ(host.emulated().SensorRegister(0x0344), 24);
  EXPECT_EQ(host.emulated().SensorRegister(0x034C), 4608);
  EXPECT_EQ(cam->settings.roi_x, 100);
  EXPECT_EQ(cam->settings.roi_y, 51);

  cam->ConfigureCaptureMode();
  EXPECT_EQ(host.emulated().SensorRegister(0x301A), 0x10DE);
  EXPECT_EQ(host.emulated().SensorRegister(0x0344), 124);
  EXPECT_EQ(host.emulated().SensorRegister(0x034C), 640);
}

}  // namespace
}  // namespace kscam::camera_test
