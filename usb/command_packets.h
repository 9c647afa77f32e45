// The camera's command protocol: 64-byte packets on the command pipe, 64-byte replies on the
// reply pipe, and the register and memory operations built from them.
#pragma once

#include "platform/wdm.h"

class CameraDevice;

// Longest wait for one packet transfer before it is cancelled.
constexpr ULONG kPacketTimeoutMs = 1000;

// One 64-byte bulk or interrupt transfer on pipe `pipe_index` of the interface, bounded by
// kPacketTimeoutMs (STATUS_IO_TIMEOUT). *moved receives the bytes moved.
NTSTATUS TransferPacket(CameraDevice* camera, ULONG pipe_index, PUCHAR buffer, PULONG moved);
// A whole packet to the camera / from the camera. Part of a camera-control operation: after a
// packet of the operation timed out, the rest fail at once.
bool SendPacket(CameraDevice* camera, PUCHAR buffer);
bool ReceivePacket(CameraDevice* camera, PUCHAR buffer);

// Frame prepare (0x02) or, with go, frame go (0x03); the outcome is not reported.
void SendStreamCommand(CameraDevice* camera, bool go);
// The same, reporting whether the whole packet went out.
NTSTATUS SendFrameCommand(CameraDevice* camera, bool go);

bool WriteSensorRegister(CameraDevice* camera, USHORT address, USHORT value);
// *value (0..65535) is written only on success.
bool ReadSensorRegister(CameraDevice* camera, USHORT address, PULONG value);
bool WriteControllerRegister(CameraDevice* camera, UCHAR index, UCHAR value);
// Reads the device-memory byte at the camera's access_address; *value (may be null) is written
// only when all three packets moved 64 bytes.
void ReadDeviceMemoryByte(CameraDevice* camera, PUCHAR value);
// Command 0x40 followed by up to 63 of the caller's bytes; the outcome is not reported.
void SendRawCommand(CameraDevice* camera, LONG count, const UCHAR* bytes);
