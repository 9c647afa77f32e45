// Random property records of every size to every item: the host's checks and the handlers must
// hold up, nothing may be read or written past a stated size (the sanitizer builds watch the
// exact-size copies), and the verifier must stay clean.
#include <cstring>
#include <random>

#include "tests/property/property_fixture.h"

namespace kscam::property_test {
namespace {

constexpr ULONG kLargest = 100;  // above the largest record (96)

TEST_F(PropertyTest, RandomRecordsOfEverySizeToEveryItem) {
  std::mt19937 random(20261208);
  const ULONG kinds[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, 0, 3, KSPROPERTY_TYPE_BASICSUPPORT,
                         KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY, 0xFFFFFFFF};
  std::vector<uint8_t> property(kLargest), data(kLargest);
  size_t accepted = 0;
  for (ULONG id = 0; id <= kCameraPropertyCount; ++id) {
    // Reinitialize and Clock reprogram the whole sensor: fewer of them keeps the run short.
    const bool slow = id == kPropReinitialize || id == kPropClock;
    for (ULONG size = 0; size <= kLargest; size += slow ? 8 : 1) {
      for (int turn = 0; turn < 2; ++turn) {
        const ULONG property_size = turn == 0 ? size : 24 + random() % (kLargest - 23);
        const ULONG data_size = turn == 0 ? random() % (kLargest + 1) : size;
        for (auto& b : property) b = static_cast<uint8_t>(random());
        for (auto& b : data) b = static_cast<uint8_t>(random());
        KSPROPERTY header = Header(id, kinds[random() % std::size(kinds)]);
        std::memcpy(property.data(), &header, std::min<size_t>(sizeof(header), property_size));
        // Keep register writes away from the reset bit, which would restart the sensor.
        if (id == kPropSensorRegisterWrite && data_size >= 28) {
          const uint32_t address = 0x3000 + (random() % 0x40) * 2;
          std::memcpy(data.data() + 24, &address, sizeof(address));
        }
        ULONG returned = 0;
        const NTSTATUS status =
            filter().Request(property.data(), property_size, data_size ? data.data() : nullptr, data_size, &returned);
        accepted += NT_SUCCESS(status);
        ASSERT_LE(returned, std::max<ULONG>(data_size, 96)) << "item " << id;
      }
    }
  }
  EXPECT_GT(accepted, 0u);
  // The camera still answers and the settings are still in range.
  Set(kPropExposure, 100);
  EXPECT_EQ(host().emulated().SensorRegister(0x3012), 100);
  EXPECT_LE(cam()->settings.brightness, 510u);
  EXPECT_LE(cam()->settings.hue, 359u);
  EXPECT_LE(cam()->settings.red_gain, 512u);
}

}  // namespace
}  // namespace kscam::property_test
