// The tool's control commands as a user runs them: each run is a new process with a new
// emulated camera, so what survives between runs is what the settings file holds.
#include "tests/tool/tool_run.h"

namespace {

using ControlsTool = ToolTest;

TEST_F(ControlsTool, ASettingSurvivesIntoTheNextProcess) {
  ToolRun set = Kscam("set FlipV=1 brightness=300");
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "FlipV=1\nBrightness=300\n");
  // A new camera: the flip comes back from the file and is read from the sensor.
  ToolRun get = Kscam("get FLIPV Brightness");
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(get.out, "FlipV=1\nBrightness=300\n");

  const std::string text = Read(settings_);
  size_t at = 0;
  for (const char* name : {"Timeout", "Exposure", "GlobalGain", "FlipH", "FlipV", "ColorEnable", "WhiteBalance",
                           "ColorCorrection", "Brightness", "Contrast", "Saturation", "Hue", "RedGain", "GreenGain",
                           "BlueGain", "AGC", "AEC", "Clock", "ExTrigger", "SubSample", "RoiX", "RoiY", "RoiW",
                           "RoiH", "Dot", "DotThreshold"}) {
    const size_t found = text.find(std::string("\"") + name + "\"=dword:", at);
    ASSERT_NE(found, std::string::npos) << name << "\n" << text;
    at = found;
  }
  EXPECT_NE(text.find("\"Brightness\"=dword:0000012c"), std::string::npos);
}

TEST_F(ControlsTool, SetsApplyInOrderAndReadBackTheLiveValue) {
  ToolRun r = Kscam("set Hue=400 Timeout=-1 Timeout=500 Reinitialize=0 Exposure=0x4b0");
  ASSERT_EQ(r.status, 0) << r.err;
  // Hue is clamped; a Timeout of 500 is ignored, so -1 stays; the re-initialisation loaded the
  // file, which held no values yet, so Hue and Timeout are back to their defaults before the
  // exposure is set.
  EXPECT_EQ(r.out, "Hue=0\nTimeout=3000\nTimeout=3000\nReinitialize=0\nExposure=1200\n");
  ToolRun region = Kscam("region 8,8,641,480");
  ASSERT_EQ(region.status, 0) << region.err;
  EXPECT_EQ(region.out, "region=8,8,641,480,0\n");
  EXPECT_EQ(Kscam("get RoiW SubSample").out, "RoiW=641\nSubSample=0\n");
}

TEST_F(ControlsTool, RegistersMemoryAndRawCommands) {
  ToolRun write = Kscam("reg write 0x3012 1234");
  ASSERT_EQ(write.status, 0) << write.err;
  EXPECT_EQ(write.out, "0x3012=0x04D2 (1234)\n");
  ToolRun mem = Kscam("mem 0");
  ASSERT_EQ(mem.status, 0) << mem.err;
  ToolRun info = Kscam("info");
  ASSERT_EQ(info.status, 0) << info.err;
  // The serial number's first character is the byte at address 0.
  const size_t serial = info.out.find("serial number:    ");
  ASSERT_NE(serial, std::string::npos) << info.out;
  char expected[16];
  std::snprintf(expected, sizeof(expected), "0x0000=0x%02X\n",
                static_cast<unsigned char>(info.out[serial + std::string("serial number:    ").size()]));
  EXPECT_EQ(mem.out, expected);
  EXPECT_NE(info.out.find("firmware version: "), std::string::npos);
  ToolRun raw = Kscam("raw-cmd 1 0x02 255");
  EXPECT_EQ(raw.status, 0) << raw.err;
  ToolRun list = Kscam("list-ctrls");
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find(" 20  0x14  Brightness           get/set  255\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(" 44  0x2C  Region               set      \n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(" 70  0x46  DotThreshold         get/set  30\n"), std::string::npos) << list.out;
}

TEST_F(ControlsTool, MistakesGiveOneLineAndExitTwo) {
  for (const char* arguments :
       {"get Bogus", "set Brightness=12x", "set Brightness", "set ExposureMax=3", "get Reinitialize", "get Region",
        "region 1,2,3", "reg read 0x10000", "reg write 0x3012 70000", "mem -1", "raw-cmd 256", "set Hue=0x100000000",
        "get"}) {
    ToolRun r = Kscam(arguments);
    EXPECT_EQ(r.status, 2) << arguments << "\n" << r.out << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << arguments << "\n" << r.err;
  }
  // A refused request changed nothing: the earlier names of the same line were not applied.
  EXPECT_EQ(Kscam("set Brightness=5 ExposureMax=3").status, 2);
  EXPECT_EQ(Kscam("get Brightness").out, "Brightness=255\n");
}

TEST_F(ControlsTool, SettingsFileProblems) {
  {
    std::ofstream damaged(settings_);
    damaged << "not a registry file\n";
  }
  ToolRun r = Kscam("get Brightness");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Brightness=255\n");
  EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(Read(settings_.string() + ".bad"), "not a registry file\n");

  // A settings file that cannot be written: the change is reported as not saved.
  const std::filesystem::path blocked = folder_ / "plain-file" / "settings.reg";
  std::ofstream(folder_ / "plain-file") << "x";
  ToolRun unwritable = Kscam("set Brightness=7", blocked);
  EXPECT_EQ(unwritable.status, 1) << unwritable.out << unwritable.err;
  EXPECT_NE(unwritable.err.find("not saved"), std::string::npos) << unwritable.err;
}

}  // namespace
