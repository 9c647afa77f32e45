// The camera: one object per device, created at Add and owned by the device's object bag. The
// stream side reaches the camera only through the eight virtual operations, in this slot order;
// a different camera back end is a class derived from this one.
#pragma once

#include "driver/camera_settings.h"
#include "platform/ks.h"
#include "usb/usb_transport.h"

struct CaptureThread;
struct ColorProcessor;
class CapturePin;

// Bytes of a command or reply packet of the camera protocol.
constexpr ULONG kPacketBytes = 64;

// The frame-read time-out in milliseconds, one value for the whole driver; read and written
// atomically.
extern "C" volatile LONG FrameTimeout;
constexpr LONG kDefaultFrameTimeout = 3000;

class CameraDevice {
 public:
  // The destructor releases nothing: every member that owns memory is released by the
  // operation that ends its lifetime (Stop, STOP state, the object bag).
  ~CameraDevice() = default;

  // Slot 0: counts a raw frame that was read and asks for the pin's processing.
  virtual void NotifyFrameReady();
  // Slot 1: programs the sensor for the current capture mode; sets image_offset, line_stride
  // and frame_bytes.
  virtual void ConfigureCaptureMode();
  // Slot 2: reads one raw frame of frame_bytes bytes into `buffer`; *success (also the result)
  // is TRUE when the read completed.
  virtual BOOLEAN ReadFrame(PUCHAR buffer, PBOOLEAN success);
  // Slots 3..5: the raw frame layout.
  virtual void GetFrameSize(PULONG size);
  virtual void GetFrameOffset(PULONG offset);
  virtual void GetFramePitch(PULONG pitch);
  // Slot 6: aborts every pipe marked in usb.pipe_flags.
  virtual void AbortPipes();
  // Slot 7: cancels the outstanding requests of a frame read and waits until they completed.
  virtual void CancelFrameTransfer();

  PKSDEVICE ks_device;
  UsbTransport usb;
  CameraSettings settings;
  UCHAR register_packet[kPacketBytes];
  UCHAR frame_request_packet[kPacketBytes];
  UCHAR stream_command[kPacketBytes];
  volatile LONG stream_acquired;  // 1 from a pin's ACQUIRE until its STOP
  CaptureThread* capture;         // created at Start, owned by the object bag
  ColorProcessor* color;          // from ACQUIRE to STOP; guarded by color_mutex
  CapturePin* active_pin;
  PKS_VIDEOINFOHEADER active_format;
  LONG output_height;  // raw frame geometry of the current capture mode
  LONG output_width;
  LONG image_offset;
  LONG line_stride;
  LONG frame_bytes;
  LONG image_width;    // delivered image: output_width rounded down to a multiple of 8
  LONG image_height;
  volatile LONG region_locked;  // capture pins holding the region
  ULONG picture_count;          // raw frames read since the stream started
  ULONG access_address;         // address of the register- and memory-read property items

  // Serialises colour updates and guards `color`.
  KMUTEX color_mutex;
  // Held across each whole camera-control operation, by the outermost call only.
  KMUTEX control_mutex;

  // This camera's own filter and pin descriptors, data-range list and video data range, made
  // at Add from the driver's templates, so one camera's region never changes what another
  // camera's pin advertises. The filter factory is created with them.
  KSFILTER_DESCRIPTOR filter_descriptor;
  KSPIN_DESCRIPTOR_EX pin_descriptor;
  PKSDATARANGE data_ranges[1];
  KS_DATARANGE_VIDEO video_data_range;
};

// The camera of a KS device (its context), or null before Add succeeded.
inline CameraDevice* CameraFromDevice(PKSDEVICE device) {
  return device ? static_cast<CameraDevice*>(device->Context) : nullptr;
}
