// The capture path's own cost at full sensor size: a client Stream over the KS host's pin, with
// a minidriver whose Process copies a ready image into the client's frame (the one copy the
// real driver makes), against the reference of one plain copy of an output frame. The ratio
// shows what the host's queue, worker hand-off and the client's frame hand-over add.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "client/camera_properties.h"
#include "client/stream.h"
#include "host/ks/ks_host.h"
#include "platform/ks.h"

namespace {

constexpr LONG kWidth = 4608;
constexpr LONG kHeight = 3288;
constexpr size_t kImageBytes = size_t{kWidth} * kHeight * 4;

std::vector<uint8_t>& Image() {
  static std::vector<uint8_t> image(kImageBytes, 0x5A);
  return image;
}

KS_DATARANGE_VIDEO MakeRange() {
  KS_DATARANGE_VIDEO r{};
  r.DataRange.FormatSize = sizeof(r);
  r.DataRange.SampleSize = kImageBytes;
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  r.DataRange.SubFormat = MEDIASUBTYPE_RGB32;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  r.VideoInfoHeader.AvgTimePerFrame = 333333;
  r.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  r.VideoInfoHeader.bmiHeader.biWidth = kWidth;
  r.VideoInfoHeader.bmiHeader.biHeight = kHeight;
  r.VideoInfoHeader.bmiHeader.biPlanes = 1;
  r.VideoInfoHeader.bmiHeader.biBitCount = 32;
  r.VideoInfoHeader.bmiHeader.biSizeImage = kImageBytes;
  return r;
}

KS_DATARANGE_VIDEO g_range = MakeRange();
PKSDATARANGE g_ranges[1] = {&g_range.DataRange};

NTSTATUS Process(PKSPIN pin) {
  PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (!edge) return STATUS_PENDING;
  const ULONG bytes = edge->OffsetOut.Remaining < kImageBytes ? edge->OffsetOut.Remaining : ULONG{kImageBytes};
  std::memcpy(edge->OffsetOut.Data, Image().data(), bytes);
  edge->StreamHeader->DataUsed = bytes;
  KsStreamPointerUnlock(edge, TRUE);
  return STATUS_PENDING;
}

NTSTATUS Intersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE caller, PKSDATARANGE pin_range, ULONG buffer_size, PVOID data,
                   PULONG data_size) {
  *data_size = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
  if (buffer_size == 0) return STATUS_BUFFER_OVERFLOW;
  KS_DATAFORMAT_VIDEOINFOHEADER format{};
  format.DataFormat = *pin_range;
  format.DataFormat.FormatSize = sizeof(format);
  format.VideoInfoHeader = reinterpret_cast<const KS_DATARANGE_VIDEO*>(caller)->VideoInfoHeader;
  std::memcpy(data, &format, sizeof(format));
  return STATUS_SUCCESS;
}

const KSPIN_DISPATCH kPinDispatch = {nullptr, nullptr, Process, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

KSPIN_DESCRIPTOR_EX MakePin() {
  KSPIN_DESCRIPTOR_EX p{};
  p.Dispatch = &kPinDispatch;
  p.PinDescriptor.DataRangesCount = 1;
  p.PinDescriptor.DataRanges = g_ranges;
  p.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  p.Flags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING |
            KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING;
  p.InstancesPossible = 1;
  p.IntersectHandler = Intersect;
  return p;
}

const KSPIN_DESCRIPTOR_EX g_pin = MakePin();
const KSFILTER_DESCRIPTOR g_filter = {nullptr, nullptr, KSFILTER_DESCRIPTOR_VERSION, 0, nullptr, 1,
                                      sizeof(KSPIN_DESCRIPTOR_EX), &g_pin, 0, nullptr, 0, 0, nullptr, 0, nullptr,
                                      nullptr};
const KSFILTER_DESCRIPTOR* const g_filters[1] = {&g_filter};

NTSTATUS Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  static char16_t name[] = u"GLOBAL";
  PKSFILTERFACTORY factory = nullptr;
  return KsCreateFilterFactory(device->FunctionalDeviceObject, &g_filter, name, nullptr, 0, nullptr, nullptr,
                               &factory);
}

const KSDEVICE_DISPATCH kDeviceDispatch = {nullptr, Start};
const KSDEVICE_DESCRIPTOR g_device = {&kDeviceDispatch, 1, g_filters, 0, 0};

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) { return KsInitializeDriver(driver, path, &g_device); }

void BM_CopyOneFrame(benchmark::State& state) {
  std::vector<uint8_t> target(kImageBytes);
  for (auto _ : state) {
    std::memcpy(target.data(), Image().data(), kImageBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageBytes));
}
BENCHMARK(BM_CopyOneFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StreamFrame(benchmark::State& state) {
  kscam::host::ks::Host host(kscam::host::ks::HostOptions{});
  host.LoadDriver(Entry);
  kscam::host::ks::Device& device = host.device(0);
  device.Add();
  device.Start();
  PKSFILTER ks_filter = nullptr;
  if (!NT_SUCCESS(device.CreateFilter(device.filter_factories().at(0).factory, &ks_filter))) {
    state.SkipWithError("no filter");
    return;
  }
  {
    kscam::client::Filter filter(device, ks_filter);
    kscam::client::StreamOptions options;
    options.buffers = static_cast<int>(state.range(0));
    auto stream = kscam::client::Stream::Open(filter, options);
    if (!stream || !NT_SUCCESS(stream->Run())) {
      state.SkipWithError("no stream");
      return;
    }
    kscam::client::Frame frame;
    for (auto _ : state) {
      KsPinAttemptProcessing(stream->ks_pin(), TRUE);
      if (!stream->Next(&frame, 10000)) {
        state.SkipWithError("no frame");
        break;
      }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageBytes));
  }
}
BENCHMARK(BM_StreamFrame)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
