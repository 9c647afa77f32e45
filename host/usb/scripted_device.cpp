#include "host/usb/scripted_device.h"

#include <algorithm>
#include <cstring>

namespace kscam::usb {

std::vector<ScriptedDevice::Endpoint> ScriptedDevice::CameraEndpoints() {
  return {{0x01, 0x02, 512}, {0x81, 0x02, 512}, {0x82, 0x02, 512}};
}

std::vector<uint8_t> ScriptedDevice::BuildConfigurationDescriptor(const std::vector<Endpoint>& endpoints) {
  std::vector<uint8_t> d = {9, 2, 0, 0, 1, 1, 0, 0x80, 250};
  const std::vector<uint8_t> iface = {9, 4, 0, 0, static_cast<uint8_t>(endpoints.size()), 0xFF, 0, 0, 0};
  d.insert(d.end(), iface.begin(), iface.end());
  for (const Endpoint& e : endpoints) {
    const std::vector<uint8_t> ep = {7,           5, e.address, e.attributes, static_cast<uint8_t>(e.max_packet & 0xFF),
                                     static_cast<uint8_t>(e.max_packet >> 8), 0};
    d.insert(d.end(), ep.begin(), ep.end());
  }
  d[2] = static_cast<uint8_t>(d.size() & 0xFF);
  d[3] = static_cast<uint8_t>(d.size() >> 8);
  return d;
}

ScriptedDevice::ScriptedDevice(std::vector<Endpoint> endpoints) : endpoints_(std::move(endpoints)) {
  device_descriptor_ = {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 0, 0, 0, 1};
  configuration_descriptor_ = BuildConfigurationDescriptor(endpoints_);
  thread_ = std::thread([this] { Run(); });
}

ScriptedDevice::~ScriptedDevice() {
  {
    std::lock_guard lock(mu_);
    CancelWhere([](const Transfer&) { return true; }, TransferStatus::Cancelled);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void ScriptedDevice::Run() {
  std::unique_lock lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !work_.empty(); });
    if (work_.empty()) return;
    std::function<void()> work = std::move(work_.front());
    work_.pop_front();
    lock.unlock();
    work();
    lock.lock();
  }
}

void ScriptedDevice::Finish(std::shared_ptr<Transfer> transfer, TransferStatus status, uint32_t actual) {
  work_.push_back([transfer = std::move(transfer), status, actual] { transfer->complete(status, actual); });
  cv_.notify_all();
}

void ScriptedDevice::SetConfigurationDescriptor(std::vector<uint8_t> bytes) {
  std::lock_guard lock(mu_);
  configuration_descriptor_ = std::move(bytes);
}

void ScriptedDevice::SetDeviceDescriptor(std::vector<uint8_t> bytes) {
  std::lock_guard lock(mu_);
  device_descriptor_ = std::move(bytes);
}

void ScriptedDevice::OnOut(OutHandler handler) {
  std::lock_guard lock(mu_);
  out_handler_ = std::move(handler);
}

void ScriptedDevice::QueueIn(uint8_t endpoint, std::vector<uint8_t> message) {
  std::lock_guard lock(mu_);
  messages_[endpoint].push_back({std::move(message), 0, false});
  ServeWaiting(endpoint);
}

void ScriptedDevice::ClearIn(uint8_t endpoint) {
  std::lock_guard lock(mu_);
  messages_[endpoint].clear();
}

void ScriptedDevice::QueueInError(uint8_t endpoint) {
  std::lock_guard lock(mu_);
  messages_[endpoint].push_back({{}, 0, true});
  ServeWaiting(endpoint);
}

void ScriptedDevice::Stall(uint8_t endpoint) {
  std::lock_guard lock(mu_);
  stalled_[endpoint] = true;
  CancelWhere([endpoint](const Transfer& t) { return t.endpoint == endpoint; }, TransferStatus::Stalled);
}

void ScriptedDevice::SetConnected(bool connected) {
  std::lock_guard lock(mu_);
  connected_ = connected;
  if (!connected) {
    CancelWhere([](const Transfer&) { return true; }, TransferStatus::NoDevice);
    configuration_ = 0;
  }
}

std::vector<std::pair<uint8_t, std::vector<uint8_t>>> ScriptedDevice::OutLog() const {
  std::lock_guard lock(mu_);
  return out_log_;
}

size_t ScriptedDevice::WaitingTransfers() const {
  std::lock_guard lock(mu_);
  return waiting_.size();
}

int ScriptedDevice::ResetPipeCount(uint8_t endpoint) const {
  std::lock_guard lock(mu_);
  auto it = reset_pipe_count_.find(endpoint);
  return it == reset_pipe_count_.end() ? 0 : it->second;
}

int ScriptedDevice::PortResetCount() const {
  std::lock_guard lock(mu_);
  return port_reset_count_;
}

std::vector<uint8_t> ScriptedDevice::DeviceDescriptor() const {
  std::lock_guard lock(mu_);
  return device_descriptor_;
}

std::vector<uint8_t> ScriptedDevice::ConfigurationDescriptor() const {
  std::lock_guard lock(mu_);
  return configuration_descriptor_;
}

bool ScriptedDevice::SetConfiguration(uint8_t value) {
  std::lock_guard lock(mu_);
  if (!connected_) return false;
  if (value != 0 && value != 1) return false;
  CancelWhere([](const Transfer&) { return true; }, TransferStatus::Cancelled);
  configuration_ = value;
  return true;
}

uint8_t ScriptedDevice::Configuration() const {
  std::lock_guard lock(mu_);
  return configuration_;
}

bool ScriptedDevice::KnownEndpoint(uint8_t endpoint) const {
  return std::any_of(endpoints_.begin(), endpoints_.end(), [endpoint](const Endpoint& e) { return e.address == endpoint; });
}

void ScriptedDevice::Submit(std::shared_ptr<Transfer> transfer) {
  std::lock_guard lock(mu_);
  if (!connected_) return Finish(std::move(transfer), TransferStatus::NoDevice, 0);
  if (configuration_ == 0 || !KnownEndpoint(transfer->endpoint)) {
    return Finish(std::move(transfer), TransferStatus::Error, 0);
  }
  if (stalled_[transfer->endpoint]) return Finish(std::move(transfer), TransferStatus::Stalled, 0);
  if ((transfer->endpoint & 0x80) == 0) {
    std::vector<uint8_t> data(transfer->buffer, transfer->buffer + transfer->length);
    out_log_.emplace_back(transfer->endpoint, data);
    const uint32_t length = transfer->length;
    Finish(std::move(transfer), TransferStatus::Success, length);
    if (out_handler_) {
      const uint8_t ep = out_log_.back().first;
      work_.push_back([this, handler = out_handler_, ep, data = std::move(data)] { handler(*this, ep, data); });
      cv_.notify_all();
    }
    return;
  }
  const uint8_t endpoint = transfer->endpoint;
  waiting_.push_back(std::move(transfer));
  ServeWaiting(endpoint);
}

void ScriptedDevice::ServeWaiting(uint8_t endpoint) {
  auto& queue = messages_[endpoint];
  for (auto it = waiting_.begin(); it != waiting_.end() && !queue.empty();) {
    if ((*it)->endpoint != endpoint) {
      ++it;
      continue;
    }
    std::shared_ptr<Transfer> t = *it;
    it = waiting_.erase(it);
    Message& m = queue.front();
    if (m.error) {
      queue.pop_front();
      Finish(std::move(t), TransferStatus::Error, 0);
      continue;
    }
    const size_t n = std::min<size_t>(t->length, m.bytes.size() - m.offset);
    if (n != 0) std::memcpy(t->buffer, m.bytes.data() + m.offset, n);
    m.offset += n;
    const bool full = n == t->length;
    if (m.offset == m.bytes.size()) queue.pop_front();
    const bool ok = full || t->short_ok;
    Finish(std::move(t), ok ? TransferStatus::Success : TransferStatus::Error, static_cast<uint32_t>(n));
  }
}

void ScriptedDevice::CancelWhere(const std::function<bool(const Transfer&)>& match, TransferStatus status) {
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (match(**it)) {
      Finish(*it, status, 0);
      it = waiting_.erase(it);
    } else {
      ++it;
    }
  }
}

void ScriptedDevice::Cancel(Transfer* transfer) {
  std::lock_guard lock(mu_);
  CancelWhere([transfer](const Transfer& t) { return &t == transfer; }, TransferStatus::Cancelled);
}

void ScriptedDevice::ResetPipe(uint8_t endpoint) {
  std::lock_guard lock(mu_);
  stalled_[endpoint] = false;
  ++reset_pipe_count_[endpoint];
}

void ScriptedDevice::AbortPipe(uint8_t endpoint) {
  std::lock_guard lock(mu_);
  CancelWhere([endpoint](const Transfer& t) { return t.endpoint == endpoint; }, TransferStatus::Cancelled);
}

void ScriptedDevice::PortReset() {
  std::lock_guard lock(mu_);
  CancelWhere([](const Transfer&) { return true; }, TransferStatus::Cancelled);
  for (auto& [ep, s] : stalled_) s = false;
  ++port_reset_count_;
}

bool ScriptedDevice::Connected() const {
  std::lock_guard lock(mu_);
  return connected_;
}

}  // namespace kscam::usb
