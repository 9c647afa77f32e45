// The camera's controls through its property set: list-ctrls, get, set, region, reinit, reg,
// mem, raw-cmd. Each run starts a host with one emulated camera, loads the stored settings at
// Start, opens the capture filter, does its work, then closes the filter and stops the camera,
// both of which save the settings.
#include <cstdio>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "client/kscam_client.h"
#include "property/camera_property_set.h"
#include "tools/kscam/command.h"

namespace kscam::tool {
namespace {

// Items whose records are not a plain 32-bit value have commands of their own.
const char* OwnCommand(ULONG id) {
  switch (id) {
    case kPropRegion: return "kscam region";
    case kPropSensorRegisterWrite: return "kscam reg write";
    case kPropRawCommand: return "kscam raw-cmd";
    case kPropMemoryByte: return "kscam mem";
    default: return nullptr;
  }
}

std::optional<ULONG> ParseItem(const std::string& name, std::string* error) {
  if (auto id = client::FindCameraProperty(name)) return id;
  *error = "unknown control '" + name + "' (see 'kscam list-ctrls')";
  return std::nullopt;
}

std::optional<int32_t> ParseValue(const std::string& text, const std::string& what, std::string* error) {
  if (auto v = client::ParseNumber(text)) return v;
  *error = "malformed number '" + text + "' for " + what + " (decimal or 0x hex, 32 bits)";
  return std::nullopt;
}

std::string AccessText(ULONG access) {
  const bool get = access & KSPROPERTY_TYPE_GET;
  const bool set = access & KSPROPERTY_TYPE_SET;
  return get && set ? "get/set" : get ? "get" : set ? "set" : "-";
}

// A get through the item's request; false with a message when the item has no get or failed.
bool GetItem(client::Filter& filter, ULONG id, int32_t* value, std::string* error) {
  const char* name = client::CameraPropertyName(id);
  if (const char* own = OwnCommand(id)) {
    *error = std::string("'") + name + "' is not a single value: use '" + own + "'";
    return false;
  }
  if (!(filter.Access(id) & KSPROPERTY_TYPE_GET)) {
    *error = std::string("'") + name + "' cannot be read (set only)";
    return false;
  }
  const NTSTATUS status = filter.Get(id, value);
  if (!NT_SUCCESS(status)) {
    *error = std::string("reading '") + name + "' failed: " + client::StatusText(status);
    return false;
  }
  return true;
}

}  // namespace

// Runs `work` against an open filter of a started camera. `work` returns an exit status; a
// settings write that failed on the way makes the run fail.
int WithFilter(const std::optional<std::filesystem::path>& settings, const FilterWork& work) {
  client::HostOptions options;
  options.cameras = 1;
  options.usb_cameras = true;
  if (settings) options.settings_option = settings->string();
  int result = kExitOk;
  size_t leaked = 0;
  std::string write_error;
  {
    client::Host host(options);
    if (!host.settings_error().empty()) return Failure(host.settings_error());
    NTSTATUS status = host.LoadDriver();
    if (!NT_SUCCESS(status)) return Failure("the driver did not load: " + client::StatusText(status));
    client::Camera& camera = host.camera(0);
    status = camera.Add();
    if (!NT_SUCCESS(status)) return Failure("the camera could not be added: " + client::StatusText(status));
    status = camera.Start();
    if (!NT_SUCCESS(status)) {
      result = Failure("the camera did not start: " + client::StatusText(status));
    } else {
      std::unique_ptr<client::Filter> filter = camera.OpenFilter(&status);
      if (!filter) {
        result = Failure("the capture filter could not be opened: " + client::StatusText(status));
      } else {
        result = work(*filter, camera);
        filter->Close();
      }
    }
    camera.Stop();
    leaked = camera.Remove();
    write_error = host.TakeSettingsWriteError();
  }
  if (!write_error.empty()) {
    std::cerr << "kscam: the settings were not saved: " << write_error << "\n";
    if (result == kExitOk) result = kExitFailure;
  }
  const std::string report = client::VerifierReport();
  if (!report.empty() || leaked) {
    std::cerr << "kscam: verifier:\n" << report << "\n";
    if (result == kExitOk) result = kExitFailure;
  }
  return result;
}

int WithFilter(const Args& args, const FilterWork& work) { return WithFilter(args.settings, work); }

int Usage(const std::string& message) {
  std::cerr << "kscam: " << message << "\n";
  return kExitUsage;
}

int Failure(const std::string& message) {
  std::cerr << "kscam: " << message << "\n";
  return kExitFailure;
}

int RunListControls(const Args& args) {
  if (!args.positional.empty()) return Usage("'list-ctrls' takes no arguments");
  return WithFilter(args, [](client::Filter& filter, client::Camera&) {
    for (const client::PropertyName& p : client::CameraPropertyNames()) {
      const ULONG access = filter.Access(p.id);
      std::string value;
      int32_t v = 0;
      if ((access & KSPROPERTY_TYPE_GET) && !OwnCommand(p.id) && NT_SUCCESS(filter.Get(p.id, &v))) {
        value = std::to_string(v);
      }
      std::printf("%3u  0x%02X  %-20s %-8s %s\n", p.id, p.id, p.name, AccessText(access).c_str(), value.c_str());
    }
    return kExitOk;
  });
}

int RunGet(const Args& args) {
  if (args.positional.empty()) return Usage("'get' needs at least one control name");
  std::vector<ULONG> ids;
  for (const std::string& name : args.positional) {
    std::string error;
    auto id = ParseItem(name, &error);
    if (!id) return Usage(error);
    ids.push_back(*id);
  }
  return WithFilter(args, [&](client::Filter& filter, client::Camera&) {
    std::vector<int32_t> values;
    for (ULONG id : ids) {
      int32_t v = 0;
      std::string error;
      if (!GetItem(filter, id, &v, &error)) return Usage(error);
      values.push_back(v);
    }
    for (size_t i = 0; i < ids.size(); ++i) std::printf("%s=%d\n", client::CameraPropertyName(ids[i]), values[i]);
    return kExitOk;
  });
}

int RunSet(const Args& args) {
  if (args.positional.empty()) return Usage("'set' needs at least one NAME=VALUE");
  struct Assignment {
    ULONG id;
    int32_t value;
  };
  std::vector<Assignment> assignments;
  for (const std::string& word : args.positional) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos) return Usage("expected NAME=VALUE, got '" + word + "'");
    std::string error;
    auto id = ParseItem(word.substr(0, eq), &error);
    if (!id) return Usage(error);
    auto value = ParseValue(word.substr(eq + 1), word.substr(0, eq), &error);
    if (!value) return Usage(error);
    assignments.push_back({*id, *value});
  }
  return WithFilter(args, [&](client::Filter& filter, client::Camera&) {
    // Every request is checked before the first is made, so a bad one changes nothing.
    for (const Assignment& a : assignments) {
      const char* name = client::CameraPropertyName(a.id);
      if (const char* own = OwnCommand(a.id)) {
        return Usage(std::string("'") + name + "' is not a single value: use '" + own + "'");
      }
      if (!(filter.Access(a.id) & KSPROPERTY_TYPE_SET)) {
        return Usage(std::string("'") + name + "' cannot be set (read only)");
      }
    }
    for (const Assignment& a : assignments) {
      const NTSTATUS status = filter.Set(a.id, a.value);
      if (!NT_SUCCESS(status)) {
        return Failure(std::string("setting '") + client::CameraPropertyName(a.id) + "' failed: " +
                       client::StatusText(status));
      }
    }
    for (const Assignment& a : assignments) {
      int32_t v = a.value;
      std::string error;
      // A set-only item has nothing to read back: what was sent is shown.
      if ((filter.Access(a.id) & KSPROPERTY_TYPE_GET) && !GetItem(filter, a.id, &v, &error)) return Failure(error);
      std::printf("%s=%d\n", client::CameraPropertyName(a.id), v);
    }
    return kExitOk;
  });
}

int RunRegion(const Args& args) {
  if (args.positional.size() != 1) return Usage("'region' takes X,Y,W,H[,S]");
  std::vector<int32_t> v;
  std::stringstream parts(args.positional[0]);
  std::string part;
  while (std::getline(parts, part, ',')) {
    std::string error;
    auto n = ParseValue(part, "the region", &error);
    if (!n) return Usage(error);
    v.push_back(*n);
  }
  if (v.size() != 4 && v.size() != 5) return Usage("'region' takes X,Y,W,H[,S]");
  if (v.size() == 4) v.push_back(0);
  return WithFilter(args, [&](client::Filter& filter, client::Camera&) {
    NTSTATUS status = filter.SetRegion(v[0], v[1], v[2], v[3], v[4]);
    if (!NT_SUCCESS(status)) return Failure("setting the region failed: " + client::StatusText(status));
    int32_t x = 0, y = 0, w = 0, h = 0, s = 0;
    filter.Get(kPropRoiX, &x);
    filter.Get(kPropRoiY, &y);
    filter.Get(kPropRoiW, &w);
    filter.Get(kPropRoiH, &h);
    filter.Get(kPropSubSample, &s);
    std::printf("region=%d,%d,%d,%d,%d\n", x, y, w, h, s);
    return kExitOk;
  });
}

int RunReinit(const Args& args) {
  if (!args.positional.empty()) return Usage("'reinit' takes no arguments");
  return WithFilter(args, [](client::Filter& filter, client::Camera&) {
    const NTSTATUS status = filter.Set(kPropReinitialize, 0);
    if (!NT_SUCCESS(status)) return Failure("re-initialising failed: " + client::StatusText(status));
    std::printf("camera re-initialised from the stored settings\n");
    return kExitOk;
  });
}

int RunRegister(const Args& args) {
  const auto& p = args.positional;
  const bool read = p.size() == 2 && p[0] == "read";
  const bool write = p.size() == 3 && p[0] == "write";
  if (!read && !write) return Usage("use 'reg read ADDR' or 'reg write ADDR VALUE'");
  std::string error;
  auto address = ParseValue(p[1], "the register address", &error);
  if (!address) return Usage(error);
  if (*address < 0 || *address > 0xFFFF) return Usage("register address '" + p[1] + "' is outside 0..0xFFFF");
  std::optional<int32_t> value;
  if (write) {
    value = ParseValue(p[2], "the register value", &error);
    if (!value) return Usage(error);
    if (*value < 0 || *value > 0xFFFF) return Usage("register value '" + p[2] + "' is outside 0..0xFFFF");
  }
  return WithFilter(args, [&](client::Filter& filter, client::Camera&) {
    const uint32_t a = static_cast<uint32_t>(*address);
    if (value) {
      const NTSTATUS status = filter.WriteSensorRegister(a, static_cast<uint32_t>(*value));
      if (!NT_SUCCESS(status)) return Failure("writing the register failed: " + client::StatusText(status));
    }
    uint32_t read_back = 0;
    const NTSTATUS status = filter.ReadSensorRegister(a, &read_back);
    if (!NT_SUCCESS(status)) return Failure("reading the register failed: " + client::StatusText(status));
    std::printf("0x%04X=0x%04X (%u)\n", a, read_back, read_back);
    return kExitOk;
  });
}

int RunMemory(const Args& args) {
  if (args.positional.size() != 1) return Usage("'mem' takes one ADDR");
  std::string error;
  auto address = ParseValue(args.positional[0], "the memory address", &error);
  if (!address) return Usage(error);
  if (*address < 0 || *address > 0xFFFF) return Usage("memory address '" + args.positional[0] + "' is outside 0..0xFFFF");
  return WithFilter(args, [&](client::Filter& filter, client::Camera&) {
    uint8_t byte = 0;
    const NTSTATUS status = filter.ReadMemoryByte(static_cast<uint32_t>(*address), &byte);
    if (!NT_SUCCESS(status)) return Failure("reading device memory failed: " + client::StatusText(status));
    std::printf("0x%04X=0x%02X\n", static_cast<unsigned>(*address), byte);
    return kExitOk;
  });
}

int RunRawCommand(const Args& args) {
  if (args.positional.empty()) return Usage("'raw-cmd' needs at least one BYTE");
  if (args.positional.size() > 63) return Usage("'raw-cmd' takes at most 63 bytes");
  std::vector<uint8_t> bytes;
  for (const std::string& word : args.positional) {
    std::string error;
    auto v = ParseValue(word, "a command byte", &error);
    if (!v) return Usage(error);
    if (*v < 0 || *v > 0xFF) return Usage("command byte '" + word + "' is outside 0..0xFF");
    bytes.push_back(static_cast<uint8_t>(*v));
  }
  return WithFilter(args, [&](client::Filter& filter, client::Camera& camera) {
    const NTSTATUS status = filter.RawCommand(bytes);
    if (!NT_SUCCESS(status)) return Failure("sending the command failed: " + client::StatusText(status));
    std::printf("sent command 0x40 with %zu byte(s)\n", bytes.size());
    return kExitOk;
  });
}

}  // namespace kscam::tool
