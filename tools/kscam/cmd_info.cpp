// kscam info: one camera slot, the driver loaded, Add and Start, what the host sees, then Stop
// and removal under the verifier.
#include <cstdio>
#include <iostream>

#include "client/kscam_client.h"
#include "tools/kscam/command.h"

namespace kscam::tool {
namespace {

void PrintRange(const client::VideoRangeInfo& r) {
  std::printf("      data range: %d x %d, %u bits per pixel%s\n", r.width, r.height, r.bit_count,
              r.rgb32 ? " (RGB32, VideoInfo)" : "");
  std::printf("        sample size:    %u bytes\n", r.sample_size);
  const double fps = r.avg_time_per_frame > 0 ? 1e7 / static_cast<double>(r.avg_time_per_frame) : 0.0;
  std::printf("        frame interval: %lld .. %lld x 100 ns (average %lld, %.2f frames/s)\n",
              static_cast<long long>(r.min_frame_interval), static_cast<long long>(r.max_frame_interval),
              static_cast<long long>(r.avg_time_per_frame), fps);
  std::printf("        bits per second: %u .. %u\n", r.min_bits_per_second, r.max_bits_per_second);
  std::printf("        bit rate:       %u\n", r.bit_rate);
}

void PrintCamera(const client::CameraInfo& info) {
  std::printf("camera %d: %s (Started flag %s), object bag %zu item(s)\n", info.slot,
              host::ks::StateName(info.state), info.started_flag ? "set" : "clear", info.object_bag_items);
  if (info.factories.empty()) std::printf("  no filter factory\n");
  for (const auto& f : info.factories) {
    std::printf("  filter factory \"%s\", create-item flags 0x%X%s, %zu pin(s)\n", f.reference_string.c_str(),
                f.create_item_flags, (f.create_item_flags & KSCREATE_ITEM_FREEONSTOP) ? " (freed at stop)" : "",
                f.pins.size());
    for (const auto& pin : f.pins) {
      std::printf("    pin %u%s\n", pin.id, pin.capture ? ": video capture" : "");
      for (const auto& range : pin.ranges) PrintRange(range);
    }
  }
  if (info.usb) {
    // The configuration the bus holds, one line each, indented under the camera.
    std::printf("  usb ");
    const std::string text = usb::DescribeConfiguration(*info.usb);
    for (size_t i = 0; i < text.size(); ++i) {
      std::putchar(text[i]);
      if (text[i] == '\n' && i + 1 < text.size()) std::printf("  ");
    }
  }
}

}  // namespace

int RunInfo(const Args& args) {
  if (!args.positional.empty()) {
    std::cerr << "kscam: 'info' takes no arguments (see 'kscam info --help')\n";
    return kExitUsage;
  }
  client::HostOptions options;
  options.cameras = 1;
  options.usb_cameras = true;
  if (args.settings) options.settings_option = args.settings->string();
  size_t leaked = 0;
  bool added = false;
  {
    client::Host host(options);
    if (!host.settings_error().empty()) {
      std::fprintf(stderr, "kscam: %s\n", host.settings_error().c_str());
      return kExitFailure;
    }
    std::printf("settings: %s\n", host.settings_path().c_str());
    NTSTATUS status = host.LoadDriver();
    std::printf("driver entry: %s\n", client::StatusText(status).c_str());
    if (!NT_SUCCESS(status)) return kExitFailure;

    client::Camera& camera = host.camera(0);
    status = camera.Add();
    std::printf("camera 0 add: %s\n", client::StatusText(status).c_str());
    added = NT_SUCCESS(status);
    if (added) {
      status = camera.Start();
      std::printf("camera 0 start: %s%s\n", client::StatusText(status).c_str(),
                  NT_SUCCESS(status) ? "" : " (the camera did not answer over USB)");
      PrintCamera(camera.Info());
      camera.Stop();
      std::printf("camera 0 stop: %s\n", host::ks::StateName(camera.Info().state));
      leaked = camera.Remove();
      std::printf("camera 0 removed%s\n", leaked ? ", pool left behind" : "");
    }
  }
  const std::string report = client::VerifierReport();
  if (!report.empty() || leaked) {
    std::printf("verifier:\n%s\n", report.c_str());
    return kExitFailure;
  }
  std::printf("verifier: clean\n");
  return added ? kExitOk : kExitFailure;
}

}  // namespace kscam::tool
