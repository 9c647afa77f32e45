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

}  // namespace kscam::host::ks
