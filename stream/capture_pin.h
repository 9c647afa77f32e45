// The capture pin: its context (one per pin, owned by the pin's object bag), its dispatch, and
// the claim on the camera that a stream holds from ACQUIRE to STOP.
#pragma once

#include "platform/ks.h"

class CameraDevice;

class CapturePin {
 public:
  ~CapturePin() = default;

  // Asks the class driver to run the pin's Process soon, on its own thread.
  virtual void AttemptProcessing();

  PKSPIN ks_pin;
  CameraDevice* device;
  ULONG stream_state;             // 0 no stream resources, 1 paused, 2 running
  PIKSREFERENCECLOCK ref_clock;   // from ACQUIRE to STOP, null when there is none
  KS_VIDEOINFOHEADER video_info;  // the pin's current format header
  BOOLEAN acquired;
  ULONG stride;                   // row pitch asked for by a format change, 0 otherwise
};

// The pin's dispatch: create, close, process, set data format, set device state.
extern const KSPIN_DISPATCH CapturePinDispatch;

NTSTATUS PinCreate(PKSPIN pin, PIRP irp);
NTSTATUS PinClose(PKSPIN pin, PIRP irp);
NTSTATUS PinSetDeviceState(PKSPIN pin, KSSTATE to_state, KSSTATE from_state);
// Frame delivery (pin_process.cpp). Always STATUS_PENDING: the class driver runs it again
// only when the driver asks.
NTSTATUS PinProcess(PKSPIN pin);

// Object-bag free callback of the pin context.
void FreeCapturePin(PVOID context);

// Claims the camera for this pin's stream and builds its colour processor from the settings.
// STATUS_SHARING_VIOLATION when another stream holds it (nothing changes);
// STATUS_INVALID_PARAMETER for a format other than 32-bit BI_RGB and
// STATUS_INSUFFICIENT_RESOURCES without memory, both with the camera released again.
NTSTATUS AcquireDevice(CameraDevice* device, CapturePin* pin, PKS_VIDEOINFOHEADER header);
// Frees the colour processor and gives up the claim.
void ReleaseDevice(CameraDevice* device);

// The pin's row pitch field, read and written atomically: a format change may set it while
// Process reads it.
inline ULONG ReadStride(const CapturePin* pin) {
  return static_cast<ULONG>(ReadAcquire(reinterpret_cast<const volatile LONG*>(&pin->stride)));
}
inline void WriteStride(CapturePin* pin, ULONG stride) {
  WriteRelease(reinterpret_cast<volatile LONG*>(&pin->stride), static_cast<LONG>(stride));
}
