// A USB device whose behaviour a test writes: descriptors as given, host-to-device data handed
// to a callback, device-to-host data served from queued messages, stalls and disconnects on
// demand. Completions come from the device's own thread, as the UsbDevice contract asks.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/usb/usb_device.h"

namespace kscam::usb {

class ScriptedDevice : public UsbDevice {
 public:
  struct Endpoint {
    uint8_t address = 0;                 // bit 7 set for device-to-host
    uint8_t attributes = 0x02;           // transfer type: 2 bulk, 3 interrupt
    uint16_t max_packet = 512;
  };
  // Command out, reply in, frame in: the layout of the camera.
  static std::vector<Endpoint> CameraEndpoints();
  // A configuration descriptor with one configuration (value 1) and one interface (number 0).
  static std::vector<uint8_t> BuildConfigurationDescriptor(const std::vector<Endpoint>& endpoints);

  explicit ScriptedDevice(std::vector<Endpoint> endpoints = CameraEndpoints());
  ~ScriptedDevice() override;

  // Replaces what the device returns for its configuration descriptor.
  void SetConfigurationDescriptor(std::vector<uint8_t> bytes);
  void SetDeviceDescriptor(std::vector<uint8_t> bytes);

  // Runs on the device thread for each host-to-device transfer, after it completed. May queue
  // device-to-host messages.
  using OutHandler = std::function<void(ScriptedDevice& device, uint8_t endpoint, const std::vector<uint8_t>& data)>;
  void OnOut(OutHandler handler);

  // Queues a message on a device-to-host endpoint. Transfers take bytes from the front message;
  // a transfer that empties a message before it is full ends short there.
  void QueueIn(uint8_t endpoint, std::vector<uint8_t> message);
  // Forgets the messages queued on the endpoint that no transfer has taken yet.
  void ClearIn(uint8_t endpoint);
  // The next transfer on the endpoint completes with Error after moving nothing.
  void QueueInError(uint8_t endpoint);
  // Halts the endpoint: transfers are accepted and fail Stalled until ResetPipe.
  void Stall(uint8_t endpoint);
  // Unplugs (pending transfers end with NoDevice) or plugs the device back in.
  void SetConnected(bool connected);

  // Host-to-device transfers received, oldest first.
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> OutLog() const;
  // Transfers waiting for data.
  size_t WaitingTransfers() const;
  int ResetPipeCount(uint8_t endpoint) const;
  int PortResetCount() const;

  // UsbDevice
  std::vector<uint8_t> DeviceDescriptor() const override;
  std::vector<uint8_t> ConfigurationDescriptor() const override;
  bool SetConfiguration(uint8_t value) override;
  uint8_t Configuration() const override;
  void Submit(std::shared_ptr<Transfer> transfer) override;
  void Cancel(Transfer* transfer) override;
  void ResetPipe(uint8_t endpoint) override;
  void AbortPipe(uint8_t endpoint) override;
  void PortReset() override;
  bool Connected() const override;

 private:
  struct Message {
    std::vector<uint8_t> bytes;
    size_t offset = 0;
    bool error = false;
  };
  // Everything below is guarded by mu_.
  void Finish(std::shared_ptr<Transfer> transfer, TransferStatus status, uint32_t actual);
  void ServeWaiting(uint8_t endpoint);
  void CancelWhere(const std::function<bool(const Transfer&)>& match, TransferStatus status);
  bool KnownEndpoint(uint8_t endpoint) const;
  void Run();

  std::vector<Endpoint> endpoints_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<uint8_t> device_descriptor_;
  std::vector<uint8_t> configuration_descriptor_;
  OutHandler out_handler_;
  uint8_t configuration_ = 0;
  bool connected_ = true;
  std::map<uint8_t, bool> stalled_;
  std::map<uint8_t, std::deque<Message>> messages_;
  std::deque<std::shared_ptr<Transfer>> waiting_;
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> out_log_;
  std::map<uint8_t, int> reset_pipe_count_;
  int port_reset_count_ = 0;

  // Completions and out-handler calls, run in order on the device thread.
  std::deque<std::function<void()>> work_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace kscam::usb
