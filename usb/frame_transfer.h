// Reading raw frames from the frame pipe as a chain of 64 KiB bulk requests.
#pragma once

#include "platform/usb.h"
#include "usb/usb_transport.h"

class CameraDevice;

// Bytes of one chunk request of a frame read.
constexpr ULONG kChunkBytes = 65536;

// Reads n bytes of a frame into `buffer` (non-paged): the chunk chain, the frame commands and
// the wait of at most FrameTimeout. STATUS_SUCCESS only for a complete frame.
NTSTATUS ReadFrameChunks(CameraDevice* camera, PUCHAR buffer, ULONG n);

// Completion routine of a chunk request; the context is its FrameChunk.
NTSTATUS ChunkCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// Frees the chunk chain and the buffer's MDL of the frame read, and forgets them.
void ReleaseFrameTransfer(UsbTransport* usb);
