// A capture stream as an application runs it: negotiate the format on the camera's capture
// pin, create the pin, run it, and take converted frames with their header fields.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "client/camera_properties.h"
#include "host/ks/ks_host.h"
#include "platform/ks.h"

namespace kscam::client {

struct StreamOptions {
  int buffers = 3;               // client frames kept queued on the pin
  bool reference_clock = true;   // false: the pin gets no clock, frames carry no time stamp
  bool frame_info = true;        // headers followed by a KS_FRAME_INFO (128 bytes or more)
};

// One delivered frame: the picture as the driver wrote it (bottom row first, `pitch` bytes
// apart) and the header fields it set.
struct Frame {
  LONG width = 0;
  LONG height = 0;
  ULONG pitch = 0;                 // bytes from one row to the next in `data`
  std::vector<uint8_t> data;       // the frame buffer, FrameExtent bytes
  ULONG data_used = 0;
  LONGLONG presentation_time = 0;  // 100 ns units
  LONGLONG duration = 0;
  ULONG options_flags = 0;
  bool has_frame_info = false;     // the driver filled the KS_FRAME_INFO
  LONGLONG picture_number = 0;
  LONGLONG drop_count = 0;

  // Row `y` of the picture counted from the top, 4 bytes per pixel (B, G, R, 0xFF).
  const uint8_t* Row(LONG y) const { return data.data() + size_t(height - 1 - y) * pitch; }
};

class Stream {
 public:
  // Negotiates the format from the capture pin's first data range (data intersection), then
  // creates the pin. Null, with the status, when that fails.
  static std::unique_ptr<Stream> Open(Filter& filter, const StreamOptions& options, NTSTATUS* status = nullptr);
  // Stops the pin (returning queued frames) and closes it.
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // State changes, one step at a time as the class driver does them.
  NTSTATUS Run();
  NTSTATUS Pause();
  NTSTATUS Stop();
  // Waits up to `timeout_ms` for the next frame the driver delivered, then queues the buffer
  // again. False on time-out; *status (may be null) then says why when a request failed.
  bool Next(Frame* frame, uint32_t timeout_ms, NTSTATUS* status = nullptr);

  const KS_VIDEOINFOHEADER& format() const { return format_; }
  PKSPIN ks_pin() const { return pin_; }

 private:
  Stream(host::ks::Device& device, PKSPIN pin, const KS_VIDEOINFOHEADER& format, const StreamOptions& options);
  // ... buffers and headers, owned here
  host::ks::Device& device_;
  PKSPIN pin_;
  KS_VIDEOINFOHEADER format_;
  StreamOptions options_;
};

}  // namespace kscam::client
