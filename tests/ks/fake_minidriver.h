// A small minidriver for testing the host's pins without the camera driver: one filter with
// two output pins whose dispatch routines record what the class driver asks and answer as the
// test says. Pin 0 is processed in RUN only and never on frame arrival (as a capture pin that
// asks for processing itself); pin 1 uses the class driver's defaults.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "host/kernel/verifier.h"
#include "host/ks/ks_host.h"
#include "platform/ks.h"

namespace kscam::ks_test {

inline constexpr ULONG kFakeTag = KSCAM_POOL_TAG('F', 'a', 'k', 'e');

// What the test wants of the driver, and what the driver saw.
struct FakeDriver {
  std::mutex lock;
  // Answers.
  NTSTATUS create_status = STATUS_SUCCESS;
  NTSTATUS set_format_status = STATUS_SUCCESS;
  int fail_step_to = -1;  // SetDeviceState to this state fails
  NTSTATUS fail_step_status = STATUS_UNSUCCESSFUL;
  bool edit_descriptor = false;  // Create takes a private copy of the pin descriptor
  std::function<NTSTATUS(PKSPIN)> process;  // Process; STATUS_PENDING when empty
  // Records.
  std::vector<std::pair<KSSTATE, KSSTATE>> steps;  // SetDeviceState (to, from)
  std::vector<bool> set_format_had_old;
  std::vector<const KSDATARANGE*> set_format_ranges;
  int creates = 0;
  int closes = 0;
  int bag_items_freed = 0;
  KSSTATE state_at_create = KSSTATE_RUN;
  PKSDEVICE device_seen_at_create = nullptr;
  // Intersection handler records.
  std::vector<ULONG> intersect_buffer_sizes;
  std::vector<ULONG> intersect_range_sizes;
  KSP_PIN intersect_request{};
  std::atomic<int> process_runs{0};
};

inline FakeDriver* g_fake = nullptr;

inline KS_DATARANGE_VIDEO MakeVideoRange(LONG width, LONG height) {
  KS_DATARANGE_VIDEO r{};
  r.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
  r.DataRange.SampleSize = static_cast<ULONG>(width * height * 4);
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  r.DataRange.SubFormat = MEDIASUBTYPE_RGB32;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  r.bFixedSizeSamples = 1;
  r.ConfigCaps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  r.ConfigCaps.InputSize = {width, height};
  r.VideoInfoHeader.AvgTimePerFrame = 333333;
  r.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  r.VideoInfoHeader.bmiHeader.biWidth = width;
  r.VideoInfoHeader.bmiHeader.biHeight = height;
  r.VideoInfoHeader.bmiHeader.biPlanes = 1;
  r.VideoInfoHeader.bmiHeader.biBitCount = 32;
  r.VideoInfoHeader.bmiHeader.biSizeImage = static_cast<DWORD>(width * height * 4);
  return r;
}

inline KS_DATAFORMAT_VIDEOINFOHEADER MakeVideoFormat(LONG width, LONG height) {
  const KS_DATARANGE_VIDEO range = MakeVideoRange(width, height);
  KS_DATAFORMAT_VIDEOINFOHEADER f{};
  f.DataFormat = range.DataRange;
  f.DataFormat.FormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
  f.VideoInfoHeader = range.VideoInfoHeader;
  return f;
}

// ---- The fake's dispatch routines ----

inline void FreeCounted(PVOID block) {
  g_fake->bag_items_freed++;
  ExFreePoolWithTag(block, kFakeTag);
}

inline NTSTATUS FakePinCreate(PKSPIN pin, PIRP) {
  std::lock_guard guard(g_fake->lock);
  g_fake->creates++;
  g_fake->state_at_create = pin->DeviceState;
  g_fake->device_seen_at_create = KsPinGetDevice(pin);
  // A block in the pin's bag: freed with the pin whatever Create answers.
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kFakeTag);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  if (NTSTATUS s = KsAddItemToObjectBag(pin->Bag, block, FreeCounted); !NT_SUCCESS(s)) {
    ExFreePoolWithTag(block, kFakeTag);
    return s;
  }
  if (g_fake->edit_descriptor) {
    if (NTSTATUS s = KsEdit(pin, &pin->Descriptor, kFakeTag); !NT_SUCCESS(s)) return s;
  }
  return g_fake->create_status;
}

inline NTSTATUS FakePinClose(PKSPIN, PIRP) {
  std::lock_guard guard(g_fake->lock);
  g_fake->closes++;
  return STATUS_SUCCESS;
}

inline NTSTATUS FakePinSetFormat(PKSPIN, PKSDATAFORMAT old_format, PKSMULTIPLE_ITEM, const KSDATARANGE* range,
                                 const KSATTRIBUTE_LIST*) {
  std::lock_guard guard(g_fake->lock);
  g_fake->set_format_had_old.push_back(old_format != nullptr);
  g_fake->set_format_ranges.push_back(range);
  return g_fake->set_format_status;
}

inline NTSTATUS FakePinSetState(PKSPIN, KSSTATE to, KSSTATE from) {
  std::lock_guard guard(g_fake->lock);
  g_fake->steps.emplace_back(to, from);
  return static_cast<int>(to) == g_fake->fail_step_to ? g_fake->fail_step_status : STATUS_SUCCESS;
}

inline NTSTATUS FakePinProcess(PKSPIN pin) {
  g_fake->process_runs.fetch_add(1);
  return g_fake->process ? g_fake->process(pin) : STATUS_PENDING;
}

// The intersection of the platform's video handlers: a KS_DATAFORMAT_VIDEOINFOHEADER made of
// the pin's range header and the caller's format header.
inline NTSTATUS FakeIntersect(PVOID, PIRP, PKSP_PIN request, PKSDATARANGE caller, PKSDATARANGE pin_range,
                              ULONG buffer_size, PVOID data, PULONG data_size) {
  {
    std::lock_guard guard(g_fake->lock);
    g_fake->intersect_buffer_sizes.push_back(buffer_size);
    g_fake->intersect_range_sizes.push_back(caller->FormatSize);
    g_fake->intersect_request = *request;
  }
  if (caller->FormatSize < sizeof(KS_DATARANGE_VIDEO)) return STATUS_NO_MATCH;
  // Reads the whole caller's range, as a handler comparing records does.
  KS_DATARANGE_VIDEO whole;
  std::memcpy(&whole, caller, sizeof(whole));
  const ULONG size = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
  *data_size = size;
  if (buffer_size == 0) return STATUS_BUFFER_OVERFLOW;
  if (buffer_size < size) return STATUS_BUFFER_TOO_SMALL;
  KS_DATAFORMAT_VIDEOINFOHEADER format{};
  format.DataFormat = *pin_range;
  format.DataFormat.FormatSize = size;
  format.VideoInfoHeader = whole.VideoInfoHeader;
  std::memcpy(data, &format, size);
  return STATUS_SUCCESS;
}

inline const KSPIN_DISPATCH kFakePinDispatch = {FakePinCreate,  FakePinClose,   FakePinProcess, nullptr,
                                                FakePinSetFormat, FakePinSetState, nullptr,      nullptr,
                                                nullptr,        nullptr};

// ---- Descriptors ----

struct FakeDescriptors {
  KS_DATARANGE_VIDEO range = MakeVideoRange(64, 48);
  PKSDATARANGE ranges[1] = {&range.DataRange};
  KSPIN_DESCRIPTOR_EX pins[2]{};
  KSFILTER_DESCRIPTOR filter{};
  const KSFILTER_DESCRIPTOR* filters[1] = {&filter};
  KSDEVICE_DISPATCH device_dispatch{};
  KSDEVICE_DESCRIPTOR device{};

  FakeDescriptors() {
    for (ULONG i = 0; i < 2; ++i) {
      KSPIN_DESCRIPTOR_EX& p = pins[i];
      p.Dispatch = &kFakePinDispatch;
      p.PinDescriptor.DataRangesCount = 1;
      p.PinDescriptor.DataRanges = ranges;
      p.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
      p.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
      p.PinDescriptor.Category = &PINNAME_VIDEO_CAPTURE;
      p.InstancesPossible = 1;
      p.InstancesNecessary = 1;
    }
    pins[0].Flags = KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING |
                    KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING;
    pins[0].IntersectHandler = FakeIntersect;
    pins[1].Flags = 0;
    pins[1].InstancesPossible = 2;
    filter.Version = KSFILTER_DESCRIPTOR_VERSION;
    filter.PinDescriptorsCount = 2;
    filter.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
    filter.PinDescriptors = pins;
    device_dispatch.Start = [](PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) -> NTSTATUS {
      static char16_t name[] = u"GLOBAL";
      PKSFILTERFACTORY factory = nullptr;
      return KsCreateFilterFactory(device->FunctionalDeviceObject, g_descriptors->filters[0], name, nullptr,
                                   KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, &factory);
    };
    device.Dispatch = &device_dispatch;
    device.FilterDescriptorsCount = 1;
    device.FilterDescriptors = filters;
  }
  static inline FakeDescriptors* g_descriptors = nullptr;
};

inline NTSTATUS FakeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  return KsInitializeDriver(driver, path, &FakeDescriptors::g_descriptors->device);
}

// A started device of the fake driver with one open filter.
class FakeHostTest : public ::testing::Test {
 protected:
  FakeHostTest() {
    g_fake = &fake_;
    FakeDescriptors::g_descriptors = &descriptors_;
    host_ = std::make_unique<host::ks::Host>(host::ks::HostOptions{1, {kFakeTag}, {}, {}});
    EXPECT_EQ(host_->LoadDriver(FakeDriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(device().Add(), STATUS_SUCCESS);
    EXPECT_EQ(device().Start(), STATUS_SUCCESS);
    EXPECT_EQ(device().CreateFilter(device().filter_factories().at(0).factory, &filter_), STATUS_SUCCESS);
  }
  ~FakeHostTest() override {
    EXPECT_EQ(device().Remove(), 0u);
    host_.reset();
    g_fake = nullptr;
  }

  host::ks::Device& device() { return host_->device(0); }
  PKSFILTER filter() { return filter_; }
  FakeDriver& fake() { return fake_; }
  FakeDescriptors& descriptors() { return descriptors_; }

  PKSPIN Create(ULONG pin_id = 0, bool clock = true, NTSTATUS* status = nullptr) {
    const KS_DATAFORMAT_VIDEOINFOHEADER format = MakeVideoFormat(64, 48);
    PKSPIN pin = nullptr;
    host::ks::Device::PinOptions options;
    options.reference_clock = clock;
    const NTSTATUS s = device().CreatePin(filter_, pin_id, &format, sizeof(format), options, &pin);
    if (status) *status = s;
    else EXPECT_EQ(s, STATUS_SUCCESS);
    return pin;
  }

 private:
  FakeDriver fake_;
  FakeDescriptors descriptors_;
  std::unique_ptr<host::ks::Host> host_;
  PKSFILTER filter_ = nullptr;
};

// A client frame: header (with a KS_FRAME_INFO) and data.
struct TestFrame {
  explicit TestFrame(ULONG bytes = 256) : data(bytes) {
    std::memset(storage, 0, sizeof(storage));
    header()->Size = sizeof(storage);
    header()->FrameExtent = bytes;
    header()->Data = data.data();
  }
  PKSSTREAM_HEADER header() { return reinterpret_cast<PKSSTREAM_HEADER>(storage); }
  alignas(8) uint8_t storage[sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)];
  std::vector<uint8_t> data;
};

}  // namespace kscam::ks_test
