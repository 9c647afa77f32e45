// Sensor registers whose values the driver computes (the rest are constants of the program).
#pragma once

#include "platform/wdm.h"

constexpr USHORT kRegModeSelect = 0x0100;
constexpr USHORT kRegGroupedHold = 0x0104;
constexpr USHORT kRegVtSysClockDivider = 0x0302;
constexpr USHORT kRegOpSysClockDivider = 0x030A;
constexpr USHORT kRegFrameLength = 0x0340;
constexpr USHORT kRegLineLength = 0x0342;
constexpr USHORT kRegXStart = 0x0344;
constexpr USHORT kRegYStart = 0x0346;
constexpr USHORT kRegXEnd = 0x0348;
constexpr USHORT kRegYEnd = 0x034A;
constexpr USHORT kRegOutputWidth = 0x034C;
constexpr USHORT kRegOutputHeight = 0x034E;
constexpr USHORT kRegScalingMode = 0x0400;
constexpr USHORT kRegScaleM = 0x0404;
constexpr USHORT kRegRowTiming = 0x3010;
constexpr USHORT kRegExposure = 0x3012;
constexpr USHORT kRegFineIntegration = 0x3014;
constexpr USHORT kRegControl = 0x301A;
constexpr USHORT kRegReadMode = 0x3040;
constexpr USHORT kRegDarkControl = 0x3044;
constexpr USHORT kRegTriggerSetup1 = 0x3046;
constexpr USHORT kRegTriggerSetup2 = 0x3048;
constexpr USHORT kRegGlobalGain = 0x305E;
constexpr USHORT kRegColumnCorrection = 0x30D4;
constexpr USHORT kRegTriggerSetup3 = 0x3162;
