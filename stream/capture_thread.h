// The per-camera capture worker record: created at device Start, reused by every stream, owned
// by the device's object bag.
#pragma once

#include "platform/wdm.h"

class CameraDevice;
struct ColorProcessor;

struct CaptureThread {
  ColorProcessor* converter;     // the camera's `color`, taken at stream start
  PUCHAR rgb_buffer;             // converted image, top row first
  volatile LONG state;           // 0 idle, 1 paused, 2 running
  KEVENT done_event;             // signalled at the end of every Process call
  PVOID thread;                  // the running thread object, null when none
  volatile LONG busy;            // 1 while a Process call converts or delivers
  volatile LONG buffer_state[2]; // 0 free, 1 being filled, 2 filled, 3 being converted
  PUCHAR raw_buffer[2];          // frame_bytes each
  volatile UCHAR run;            // the thread loops while it is 1
  volatile LONG ready_count;     // raw frames read since the stream started
  CameraDevice* device;          // owner
};

// Allocates a record in its initial state (no buffers, no thread, not running) for `device`.
// Null when no memory is left.
CaptureThread* CreateCaptureThread(CameraDevice* device);

// Object-bag free callback of the record; ignores null.
void FreeCaptureThread(PVOID record);
