// The host's kernel-streaming class driver, device side: it loads a minidriver (its entry
// calls KsInitializeDriver), and drives each camera slot's device through Add, Start, Stop and
// removal in the platform's order, keeping the device's object bag and its filter factories.
//
// Each slot's device sits on a physical device object. Until a bus provides one, the host uses
// its own: a device object whose driver fails every request with STATUS_NO_SUCH_DEVICE, which
// is what a driver sees of a device that has gone from its bus.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ks.h"

namespace kscam::host::ks {

enum class DeviceState {
  Absent,   // no device in the slot (before Add, after a failed Add, after removal)
  Added,    // Add succeeded, not started
  Started,  // Start has run
  Stopped,  // stopped after a start
};
const char* StateName(DeviceState state);

struct FilterFactoryRecord {
  PKSFILTERFACTORY factory;
  const KSFILTER_DESCRIPTOR* descriptor;
  std::u16string reference_string;
  ULONG create_item_flags;
};

class Host;

// One camera slot of a host.
class Device {
 public:
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device();

  // Uses `physical_device` (a bus's device object for this slot) for the next Add instead of
  // the host's own. Only while the slot is empty.
  void SetPhysicalDevice(PDEVICE_OBJECT physical_device);

  // The platform's AddDevice: a functional device object on top of the slot's physical one,
  // a KSDEVICE, then the driver's Add. On failure the device is deleted again.
  NTSTATUS Add();
  // Calls the driver's Start. The device counts as started afterwards whatever Start returned:
  // the driver reports a camera that does not answer as a failed Start but keeps working
  // without it (its camera operations then fail), so it must still be stopped and removed.
  NTSTATUS Start();
  // Calls the driver's Stop on a started device, then drops the filter factories created with
  // KSCREATE_ITEM_FREEONSTOP. STATUS_INVALID_DEVICE_STATE when not started.
  NTSTATUS Stop();
  // Calls the driver's QueryCapabilities with `capabilities` as the bus filled it.
  NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* capabilities);
  // Stops a started device, calls the driver's Remove if it has one, frees the remaining
  // factories and the object bag (newest item first), deletes the device objects and asks the
  // verifier for pool the device left behind. Returns the number of leaked blocks. Blocks
  // cannot be told apart by device, so while other devices of the host are present the leak
  // check waits until the last of them is removed.
  size_t Remove();

  // ---- Filters, as applications reach them ----
  // Opens a filter of `factory` (one of this device's): the class driver's filter object with
  // its object bag, then the descriptor's filter Create with a create IRP. On failure nothing
  // stays behind. STATUS_INVALID_DEVICE_STATE unless the device is started.
  NTSTATUS CreateFilter(PKSFILTERFACTORY factory, PKSFILTER* filter);
  // Runs the filter's Close, then frees its object bag and the filter. Returns Close's status.
  NTSTATUS CloseFilter(PKSFILTER filter);
  // A property request on an open filter, as an application sends it: the property record
  // (`property_size` bytes, a KSPROPERTY first) and the data buffer (`data_size` bytes, read
  // for a set, written for a get). The host finds the item by set and id in the filter's
  // automation table and refuses, before the driver sees it, a request whose buffers are
  // shorter than the item's MinProperty or MinData or whose kind the item has no handler for.
  // The handler gets exactly-sized copies of both buffers; for a get, the data bytes it
  // reports in IoStatus.Information (MinData unless it says otherwise) are copied back.
  // *bytes_returned (may be null) receives that count, or the size needed when a get's data
  // buffer is empty (STATUS_BUFFER_OVERFLOW).
  NTSTATUS FilterProperty(PKSFILTER filter, const void* property, ULONG property_size, void* data, ULONG data_size,
                          ULONG* bytes_returned);
  size_t open_filters() const;

  // ---- Pins, as applications reach them ----
  // The class driver's data intersection on pin `pin_id` of an open filter. The caller's range
  // (`range_size` bytes, a KSDATARANGE first) is checked by the host first: FormatSize at least
  // a KSDATARANGE and no more than range_size, and MajorFormat, SubFormat and Specifier equal to
  // one of the pin's ranges (the caller's may be wildcards). For the first range that passes,
  // the pin's IntersectHandler runs with an exact-size copy of the caller's range, first with
  // no buffer to learn the size, then with a buffer of that size; the format it wrote goes to
  // *format. STATUS_NO_MATCH when no range matched; a pin without a handler gets the host's
  // own: the matching range itself as the format.
  NTSTATUS PinIntersect(PKSFILTER filter, ULONG pin_id, const void* range, ULONG range_size,
                        std::vector<uint8_t>* format);
  struct PinOptions {
    bool reference_clock = true;  // false: KsPinGetReferenceClockInterface fails
  };
  // Creates pin `pin_id` on an open filter with the connect format (`format_size` bytes, a
  // KSDATAFORMAT first, FormatSize equal to format_size): the pin object with its object bag
  // and its own copy of the format, the dispatch's SetDataFormat (no old format), then Create.
  // At most InstancesPossible pins per filter (STATUS_TOO_MANY_NODES beyond). On failure
  // nothing stays behind and Close is not called.
  NTSTATUS CreatePin(PKSFILTER filter, ULONG pin_id, const void* format, ULONG format_size,
                     const PinOptions& options, PKSPIN* pin);
  // A format change on an existing pin: SetDataFormat with the old format; on success the pin
  // keeps the new format, on failure the old one.
  NTSTATUS SetPinFormat(PKSPIN pin, const void* format, ULONG format_size);
  // Moves the pin to `state` one step at a time along STOP, ACQUIRE, PAUSE, RUN, calling
  // SetDeviceState for each step; stops at the first failing step and returns its status (the
  // pin stays in the last state reached). On reaching STOP the frames still queued are
  // completed with STATUS_CANCELLED. Serialised with the pin's other requests.
  NTSTATUS SetPinState(PKSPIN pin, KSSTATE state);
  // Moves the pin to STOP, completes every frame still queued with STATUS_CANCELLED (they
  // can no longer be waited for), runs Close, then frees the pin's bag and the pin.
  NTSTATUS ClosePin(PKSPIN pin);
  // Queues a client frame at the end of the pin's queue: `header` is a KSSTREAM_HEADER of
  // header->Size bytes (a KS_FRAME_INFO follows when Size allows), Data points to FrameExtent
  // bytes. Header and data stay the caller's and must live until the frame is completed.
  NTSTATUS SubmitFrame(PKSPIN pin, PKSSTREAM_HEADER header);
  struct CompletedFrame {
    PKSSTREAM_HEADER header = nullptr;
    NTSTATUS status = STATUS_SUCCESS;  // STATUS_CANCELLED for frames flushed at stop or close
  };
  // Waits up to `timeout_ms` for the oldest completed frame; false on time-out.
  bool WaitFrame(PKSPIN pin, uint32_t timeout_ms, CompletedFrame* frame);
  // Frames queued and not yet completed.
  size_t QueuedFrames(PKSPIN pin) const;
  size_t open_pins() const;

  int slot() const { return slot_; }
  DeviceState state() const { return state_; }
  // What the last Add and Start returned (STATUS_PENDING: not called yet).
  NTSTATUS add_status() const { return add_status_; }
  NTSTATUS start_status() const { return start_status_; }
  // Null while the slot is empty.
  PKSDEVICE ks_device() const;
  std::vector<FilterFactoryRecord> filter_factories() const;
  size_t object_bag_size() const;

  struct Impl;  // the class driver's record of the device

 private:
  friend class Host;
  Device(Host* host, int slot);

  Host* host_;
  int slot_;
  DeviceState state_ = DeviceState::Absent;
  NTSTATUS add_status_ = STATUS_PENDING;
  NTSTATUS start_status_ = STATUS_PENDING;
  PDEVICE_OBJECT supplied_pdo_ = nullptr;
  std::unique_ptr<Impl> impl_;
};

struct HostOptions {
  int camera_slots = 1;
  // Pool tags whose blocks count as a device's leak (the driver's tags). The host adds its own.
  std::vector<ULONG> device_pool_tags;
  // Told about each slot's physical device object before the driver's Add sees it, and
  // before it goes at removal (the registry binds it to the slot's driver key).
  std::function<void(int slot, PDEVICE_OBJECT physical_device)> physical_device_added;
  std::function<void(int slot, PDEVICE_OBJECT physical_device)> physical_device_removing;
};

class Host {
 public:
  explicit Host(HostOptions options);
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;
  // Removes every device still present, then unloads the driver.
  ~Host();

  // Creates the driver object and calls the driver's entry, which must register its device
  // descriptor with KsInitializeDriver. Returns the entry's status (STATUS_UNSUCCESSFUL when it
  // succeeded without registering).
  NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string& registry_path =
                                                   u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kscam");
  bool driver_loaded() const { return descriptor_ != nullptr; }
  const KSDEVICE_DESCRIPTOR* device_descriptor() const { return descriptor_; }
  PDRIVER_OBJECT driver_object() const { return driver_; }

  int slot_count() const { return static_cast<int>(devices_.size()); }
  Device& device(int slot) { return *devices_.at(slot); }
  // Devices currently present (added and not removed).
  int present_devices() const;

 private:
  friend class Device;
  HostOptions options_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDRIVER_OBJECT bus_driver_ = nullptr;  // owns the host's own physical device objects
  const KSDEVICE_DESCRIPTOR* descriptor_ = nullptr;
  std::vector<std::unique_ptr<Device>> devices_;
  uint64_t leak_since_ = 0;  // pool checkpoint when the first of the present devices was added
};

// The data ranges a factory's filter offers on pin `pin_id`, each copied whole (FormatSize
// bytes), as a client reads them from the filter.
std::vector<std::vector<uint8_t>> PinDataRanges(const FilterFactoryRecord& factory, ULONG pin_id);

// Host pool tags for the class driver's own records.
inline constexpr ULONG kObjectBagTag = KSCAM_POOL_TAG('K', 's', 'O', 'b');
inline constexpr ULONG kFilterFactoryTag = KSCAM_POOL_TAG('K', 's', 'F', 'f');
inline constexpr ULONG kFilterTag = KSCAM_POOL_TAG('K', 's', 'F', 'i');
inline constexpr ULONG kPinTag = KSCAM_POOL_TAG('K', 's', 'P', 'i');
inline constexpr ULONG kClockTag = KSCAM_POOL_TAG('K', 's', 'C', 'k');

}  // namespace kscam::host::ks
