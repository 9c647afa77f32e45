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
  // again. False on time-out; *status (may be null) then says why when a request failed
  // (STATUS_TIMEOUT after a time-out, STATUS_CANCELLED for a frame returned by a stop).
  // The picture moves into `frame` without a copy: the frame's previous data vector, when it
  // has the buffer's size, becomes the buffer queued next, so a caller that keeps reusing one
  // Frame makes no allocation per frame.
  bool Next(Frame* frame, uint32_t timeout_ms, NTSTATUS* status = nullptr);
  // Frame buffers the driver has not returned yet.
  size_t queued_buffers() const;

  const KS_VIDEOINFOHEADER& format() const { return format_; }
  PKSPIN ks_pin() const { return pin_; }

 private:
  // One client frame: its header (KSSTREAM_HEADER, then a KS_FRAME_INFO when asked for) and
  // its data, owned here until the pin is closed.
  struct Buffer {
    std::vector<uint64_t> header;  // 8-byte aligned storage for the header record
    std::vector<uint8_t> data;
    bool queued = false;
    PKSSTREAM_HEADER ks_header() { return reinterpret_cast<PKSSTREAM_HEADER>(header.data()); }
  };

  Stream(host::ks::Device& device, PKSPIN pin, const KS_VIDEOINFOHEADER& format, const StreamOptions& options);
  // Resets the header the driver fills and queues the buffer on the pin.
  NTSTATUS Submit(Buffer& buffer);
  // Takes back the frames the pin returned (cancelled at a stop) without waiting.
  void Reclaim();
  Buffer* BufferOf(PKSSTREAM_HEADER header);
  ULONG header_size() const;
  ULONG image_bytes() const;

  host::ks::Device& device_;
  PKSPIN pin_;
  KS_VIDEOINFOHEADER format_;
  StreamOptions options_;
  std::vector<std::unique_ptr<Buffer>> buffers_;
};

}  // namespace kscam::client
