#include "client/stream.h"

#include <cstring>

namespace kscam::client {

namespace {

constexpr ULONG kFrameInfoHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

KS_FRAME_INFO* FrameInfoOf(PKSSTREAM_HEADER header) {
  if (header->Size < kFrameInfoHeaderSize) return nullptr;
  return reinterpret_cast<KS_FRAME_INFO*>(reinterpret_cast<uint8_t*>(header) + sizeof(KSSTREAM_HEADER));
}

}  // namespace

std::unique_ptr<Stream> Stream::Open(Filter& filter, const StreamOptions& options, NTSTATUS* status) {
  auto fail = [&](NTSTATUS s) -> std::unique_ptr<Stream> {
    if (status) *status = s;
    return nullptr;
  };
  PKSFILTER ks_filter = filter.ks_filter();
  if (!ks_filter) return fail(STATUS_INVALID_HANDLE);
  host::ks::Device& device = filter.device();

  // The capture pin's first range, proposed back as it is: the driver's intersection fills in
  // the format of the current capture mode.
  const host::ks::FilterFactoryRecord record{nullptr, ks_filter->Descriptor, {}, 0};
  const auto ranges = host::ks::PinDataRanges(record, 0);
  if (ranges.empty() || ranges.front().size() < sizeof(KS_DATARANGE_VIDEO)) return fail(STATUS_NO_MATCH);
  const std::vector<uint8_t>& range = ranges.front();
  std::vector<uint8_t> format;
  NTSTATUS result = device.PinIntersect(ks_filter, 0, range.data(), static_cast<ULONG>(range.size()), &format);
  if (!NT_SUCCESS(result)) return fail(result);
  if (format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return fail(STATUS_NO_MATCH);
  KS_VIDEOINFOHEADER header;
  std::memcpy(&header, format.data() + sizeof(KSDATAFORMAT), sizeof(header));
  if (header.bmiHeader.biSizeImage == 0) return fail(STATUS_NO_MATCH);

  host::ks::Device::PinOptions pin_options;
  pin_options.reference_clock = options.reference_clock;
  PKSPIN pin = nullptr;
  result = device.CreatePin(ks_filter, 0, format.data(), static_cast<ULONG>(format.size()), pin_options, &pin);
  if (!NT_SUCCESS(result)) return fail(result);

  // From here the stream owns the pin: its destructor closes it.
  std::unique_ptr<Stream> stream(new Stream(device, pin, header, options));
  const int count = options.buffers > 0 ? options.buffers : 1;
  for (int i = 0; i < count; ++i) {
    auto buffer = std::make_unique<Buffer>();
    buffer->header.assign((stream->header_size() + 7) / 8, 0);
    buffer->data.resize(stream->image_bytes());
    stream->buffers_.push_back(std::move(buffer));
  }
  if (status) *status = STATUS_SUCCESS;
  return stream;
}

Stream::Stream(host::ks::Device& device, PKSPIN pin, const KS_VIDEOINFOHEADER& format, const StreamOptions& options)
    : device_(device), pin_(pin), format_(format), options_(options) {}

Stream::~Stream() {
  if (!pin_) return;
  // Frames still queued come back cancelled at STOP; the buffers go only after the close.
  device_.SetPinState(pin_, KSSTATE_STOP);
  device_.ClosePin(pin_);
  pin_ = nullptr;
}

ULONG Stream::header_size() const {
  return options_.frame_info ? kFrameInfoHeaderSize : static_cast<ULONG>(sizeof(KSSTREAM_HEADER));
}

ULONG Stream::image_bytes() const { return format_.bmiHeader.biSizeImage; }

Stream::Buffer* Stream::BufferOf(PKSSTREAM_HEADER header) {
  for (auto& buffer : buffers_) {
    if (buffer->ks_header() == header) return buffer.get();
  }
  return nullptr;
}

NTSTATUS Stream::Submit(Buffer& buffer) {
  std::memset(buffer.header.data(), 0, buffer.header.size() * sizeof(uint64_t));
  PKSSTREAM_HEADER header = buffer.ks_header();
  header->Size = header_size();
  header->FrameExtent = static_cast<ULONG>(buffer.data.size());
  header->Data = buffer.data.data();
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  // ExtendedHeaderSize stays 0 until the driver fills the frame information.
  const NTSTATUS status = device_.SubmitFrame(pin_, header);
  buffer.queued = NT_SUCCESS(status);
  return status;
}

void Stream::Reclaim() {
  host::ks::Device::CompletedFrame done;
  while (device_.WaitFrame(pin_, 0, &done)) {
    if (Buffer* buffer = BufferOf(done.header)) buffer->queued = false;
  }
}

NTSTATUS Stream::Run() {
  // Buffers go on the pin before it runs, so the first frame has somewhere to go; a running
  // stream only gets the buffers it lacks.
  NTSTATUS status = STATUS_SUCCESS;
  if (pin_->DeviceState != KSSTATE_RUN) {
    status = device_.SetPinState(pin_, KSSTATE_PAUSE);
    if (!NT_SUCCESS(status)) return status;
  }
  Reclaim();
  for (auto& buffer : buffers_) {
    if (buffer->queued) continue;
    status = Submit(*buffer);
    if (!NT_SUCCESS(status)) return status;
  }
  return device_.SetPinState(pin_, KSSTATE_RUN);
}

NTSTATUS Stream::Pause() { return device_.SetPinState(pin_, KSSTATE_PAUSE); }

NTSTATUS Stream::Stop() {
  const NTSTATUS status = device_.SetPinState(pin_, KSSTATE_STOP);
  Reclaim();
  return status;
}

size_t Stream::queued_buffers() const {
  size_t n = 0;
  for (const auto& buffer : buffers_) n += buffer->queued ? 1 : 0;
  return n;
}

bool Stream::Next(Frame* frame, uint32_t timeout_ms, NTSTATUS* status) {
  host::ks::Device::CompletedFrame done;
  if (!device_.WaitFrame(pin_, timeout_ms, &done)) {
    if (status) *status = STATUS_TIMEOUT;
    return false;
  }
  Buffer* buffer = BufferOf(done.header);
  if (!buffer) {
    if (status) *status = STATUS_UNSUCCESSFUL;
    return false;
  }
  buffer->queued = false;
  if (!NT_SUCCESS(done.status)) {
    if (status) *status = done.status;
    return false;
  }

  const PKSSTREAM_HEADER header = buffer->ks_header();
  const KS_BITMAPINFOHEADER& bmi = format_.bmiHeader;
  frame->width = bmi.biWidth;
  frame->height = bmi.biHeight < 0 ? -bmi.biHeight : bmi.biHeight;
  frame->pitch = static_cast<ULONG>(((uint64_t{bmi.biBitCount} * static_cast<uint32_t>(bmi.biWidth) + 31) / 32) * 4);
  frame->data_used = header->DataUsed;
  frame->presentation_time = header->PresentationTime.Time;
  frame->duration = header->Duration;
  frame->options_flags = header->OptionsFlags;
  const KS_FRAME_INFO* info = FrameInfoOf(header);
  frame->has_frame_info = info && info->ExtendedHeaderSize == sizeof(KS_FRAME_INFO);
  frame->picture_number = frame->has_frame_info ? info->PictureNumber : 0;
  frame->drop_count = frame->has_frame_info ? info->DropCount : 0;
  // The picture changes hands; the caller's old vector becomes the buffer queued next.
  frame->data.swap(buffer->data);
  if (buffer->data.size() != image_bytes()) buffer->data.resize(image_bytes());

  const NTSTATUS submitted = Submit(*buffer);
  // A stopped or paused-then-stopped pin takes no frames; the buffer waits for the next Run.
  if (status) *status = submitted == STATUS_INVALID_DEVICE_STATE ? STATUS_SUCCESS : submitted;
  return true;
}

}  // namespace kscam::client
