// The per-camera capture worker record: created at device Start, reused by every stream, owned
// by the device's object bag. The capture thread reads raw frames into two alternating
// buffers; the pin's Process converts and delivers them. The buffers pass between the two
// sides through buffer_state only: the thread moves a buffer 0->1 and 1->2 or 1->0, Process
// moves it 2->3 and 3->0.
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
  // The frame number of each raw buffer's read (picture_count once the read is counted),
  // written by the thread before the buffer becomes filled, so Process delivers frames in
  // the order they were read and stamps each with its own number.
  ULONG buffer_sequence[2];
  // Set by Process whenever it frees a raw buffer (and by a stop): the thread waits on it
  // while both buffers hold frames not yet converted, instead of polling.
  KEVENT buffer_freed;
};

// Allocates a record in its initial state (no buffers, no thread, not running) for `device`.
// Null when no memory is left.
CaptureThread* CreateCaptureThread(CameraDevice* device);

// Object-bag free callback of the record; ignores null.
void FreeCaptureThread(PVOID record);

// Stream start from a pin without resources: programs the camera for the capture mode,
// allocates the raw and RGB buffers and the conversion's work buffer and starts the thread.
// STATUS_INSUFFICIENT_RESOURCES, with everything it obtained released again, when any of them
// cannot be had.
NTSTATUS StartStream(CameraDevice* device);

// Releases the stream buffers and the converter's work buffer; the thread must be stopped.
void FreeStreamBuffers(CaptureThread* capture);

// Starts the capture thread with both buffers free. On failure no thread runs and `run` is 0.
NTSTATUS StartCaptureThread(CaptureThread* capture);

// Stops the capture thread promptly (a pending read is cancelled) and waits until neither the
// thread nor a Process call touches the stream buffers any more.
void StopCaptureThread(CaptureThread* capture);

// The capture thread's start routine; `context` is the CaptureThread record.
void CaptureLoop(PVOID context);

// Reads one raw frame into `buffer` while the stream runs; true when a whole frame arrived.
bool FillBuffer(CaptureThread* capture, PUCHAR buffer);

// Process's side of the hand-off: converts the filled raw buffer with the lowest frame number
// into rgb_buffer and frees it again. True when a frame was converted; *sequence is then its
// number. Sets `busy` first: the caller clears it when it is done with rgb_buffer.
bool ConvertReadyFrame(CaptureThread* capture, ULONG* sequence);
