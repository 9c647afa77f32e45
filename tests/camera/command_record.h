// The camera's command record as a list of register operations, for comparing with what the
// driver should have sent.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "emulator/camera.h"

namespace kscam::camera_test {

struct Op {
  enum Kind : uint8_t { Write, Read, Controller, Initialize, Commit, Other } kind;
  uint16_t address;  // register or controller index; the code for Other
  uint16_t value;
  bool operator==(const Op&) const = default;
};
inline Op W(uint16_t a, uint16_t v) { return {Op::Write, a, v}; }
inline Op R(uint16_t a) { return {Op::Read, a, 0}; }
inline Op C(uint16_t i, uint16_t v) { return {Op::Controller, i, v}; }

inline std::ostream& operator<<(std::ostream& o, const Op& op) {
  static const char* names[] = {"W", "R", "C", "Init", "Commit", "Other"};
  return o << names[op.kind] << "(0x" << std::hex << op.address << ", 0x" << op.value << std::dec << ")";
}

// Every command packet from the `from`-th on (frame commands 0x02/0x03 left out).
inline std::vector<Op> Ops(const emulator::EmulatedCamera& camera, size_t from = 0) {
  std::vector<Op> ops;
  const auto commands = camera.Commands();
  for (size_t i = from; i < commands.size(); ++i) {
    const auto& p = commands[i].packet;
    switch (p[0]) {
      case 0x04: ops.push_back(W(uint16_t(p[1] << 8 | p[2]), uint16_t(p[3] << 8 | p[4]))); break;
      case 0x0C: ops.push_back(R(uint16_t(p[1] << 8 | p[2]))); break;
      case 0x25: ops.push_back(C(p[1], p[2])); break;
      case 0x06: ops.push_back({Op::Initialize, 0, 0}); break;
      case 0x0A: ops.push_back({Op::Commit, 0, p[1]}); break;
      case 0x02:
      case 0x03: break;
      default: ops.push_back({Op::Other, p[0], 0}); break;
    }
  }
  return ops;
}

// The sensor program as the camera must receive it.
inline std::vector<Op> ExpectedProgram(const std::vector<uint16_t>& microcode) {
  std::vector<Op> p = {
      W(0x301A, 0x0001), C(15, 0), W(0x301A, 0x10D0), W(0x0008, 0x0150), W(0x301A, 0x10D8), W(0x316C, 0xB468),
      W(0x3044, 0x0594), W(0x0300, 0x0008), W(0x0302, 0x0002), W(0x0304, 0x0002), W(0x0306, 0x0020),
      W(0x0308, 0x0008), W(0x030A, 0x0002), W(0x3064, 0x0805), W(0x0112, 0x0C0C), W(0x301A, 0x10DC),
      W(0x0103, 0x0001), W(0x301A, 0x0010), W(0x31AE, 0x0301), W(0x3154, 0x2C00), W(0x3156, 0x4A80),
      W(0x30D4, 0xB400), W(0x3ED2, 0xAF60), W(0x3EE4, 0x630D), W(0x3EE8, 0x0046)};
  for (size_t i = 0; i < microcode.size(); ++i) p.push_back(W(uint16_t(0x3D00 + 2 * i), microcode[i]));
  for (uint16_t a = 0x3E4E; a <= 0x3ECA; a += 2) p.push_back(W(a, 0));
  for (Op op : {W(0x301E, 0x00A8), W(0x0100, 0), W(0x306E, 0x9080), W(0x3176, 0), W(0x3178, 0), W(0x3178, 0),
                W(0x3016, 0x0101), W(0x3012, 0x0D66), W(0x0100, 0), W(0x0206, 0x10), W(0x0208, 0x10), W(0x020A, 0x10),
                W(0x020C, 0x10), W(0x020E, 0x100), W(0x0210, 0x100), W(0x0212, 0x100), W(0x0214, 0x100),
                W(0x301A, 0x10DC)}) {
    p.push_back(op);
  }
  return p;
}

}  // namespace kscam::camera_test
