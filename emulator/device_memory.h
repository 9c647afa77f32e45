// Layout of the emulated camera's 64 KiB device memory, read a byte at a time with command
// 0x41. Text fields are ASCII, NUL-terminated and NUL-padded to their size; every byte not
// listed holds 0xFF (erased).
#pragma once

#include <cstdint>

namespace kscam::emulator {

inline constexpr uint32_t kMemorySize = 0x10000;
inline constexpr uint16_t kSerialOffset = 0x0000;    // serial number
inline constexpr uint16_t kSerialSize = 0x40;
inline constexpr uint16_t kFirmwareOffset = 0x0040;  // firmware version
inline constexpr uint16_t kFirmwareSize = 0x40;

}  // namespace kscam::emulator
