// The device side of the host's USB bus: what a device plugged into the bus offers the stack.
// The stack turns URBs into calls on this interface; an emulated device implements it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kscam::usb {

// How a transfer ended, as the bus reports it to the stack.
enum class TransferStatus {
  Success,    // moved `actual` bytes (fewer than asked only when short transfers are allowed)
  Stalled,    // the endpoint is halted; it fails every transfer until ResetPipe
  Error,      // any other transfer error (CRC, babble, short without short_ok, unconfigured)
  Cancelled,  // removed by Cancel, AbortPipe, a configuration change or a port reset
  NoDevice,   // the device is gone (disconnected or destroyed)
};

// One bulk transfer. The submitter owns `buffer`, which must stay valid until `complete` has
// been called; the device holds the Transfer through its shared_ptr until then.
struct Transfer {
  uint8_t endpoint = 0;        // endpoint address; bit 7 (0x80) set for device-to-host
  uint8_t* buffer = nullptr;   // IN: filled by the device; OUT: read by the device
  uint32_t length = 0;         // bytes asked for (IN) or offered (OUT)
  bool short_ok = true;        // IN only: a short packet ends the transfer with Success
  // Called exactly once per submitted transfer with the status and the bytes moved. Devices
  // call it from a thread of their own, never from inside Submit/Cancel/AbortPipe, and never
  // while holding a lock of theirs, so the callee may submit again from it.
  std::function<void(TransferStatus status, uint32_t actual)> complete;
};

// A device on the bus. All methods are thread-safe and may be called from any thread.
class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // The 18-byte standard device descriptor.
  virtual std::vector<uint8_t> DeviceDescriptor() const = 0;
  // The whole configuration descriptor (configuration, interfaces, endpoints), as the device
  // returns it: wTotalLength bytes, unless a test made it lie about itself.
  virtual std::vector<uint8_t> ConfigurationDescriptor() const = 0;

  // SET_CONFIGURATION. 0 unconfigures (every pending transfer completes Cancelled); any other
  // value must be the bConfigurationValue of the descriptor. False when refused.
  virtual bool SetConfiguration(uint8_t value) = 0;
  virtual uint8_t Configuration() const = 0;

  // Queues a transfer on its endpoint. Asynchronous: an IN transfer waits until the device has
  // data. Failures (unknown endpoint, unconfigured, stalled, disconnected) also arrive through
  // `complete`, never as a return value.
  virtual void Submit(std::shared_ptr<Transfer> transfer) = 0;

  // Completes the transfer with Cancelled if it is still pending. A transfer the device has
  // already taken up completes normally instead; either way `complete` runs exactly once.
  virtual void Cancel(Transfer* transfer) = 0;

  // Clears a halt on the endpoint (CLEAR_FEATURE ENDPOINT_HALT).
  virtual void ResetPipe(uint8_t endpoint) = 0;
  // Cancels every transfer pending on the endpoint.
  virtual void AbortPipe(uint8_t endpoint) = 0;
  // Port reset: pending transfers complete Cancelled and halts clear; the configuration and
  // the device's own state are kept.
  virtual void PortReset() = 0;

  // False while the device is unplugged.
  virtual bool Connected() const = 0;
};

}  // namespace kscam::usb
