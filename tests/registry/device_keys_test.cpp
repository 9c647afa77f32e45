#include "host/registry/device_keys.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "host/kernel/handle_table.h"
#include "tests/registry/temp_folder.h"

namespace kscam::host::registry {
namespace {

using kscam::test::ReadText;
using kscam::test::TempFolder;

class NotAKey : public HandleObject {};

struct Name {
  explicit Name(const char16_t* s) { RtlInitUnicodeString(&us, s); }
  UNICODE_STRING us;
};

// The device registry as the driver reaches it: a bound physical device object, its driver
// key opened for READ_CONTROL, and "Settings" created below it with KEY_ALL_ACCESS.
class DeviceKeys : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    hive_ = Hive::Open(tmp_.path() / "settings.reg", &error);
    ASSERT_TRUE(hive_) << error;
    ASSERT_EQ(AttachDeviceKey(&pdo_, hive_, 0), STATUS_SUCCESS);
  }
  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
    DetachDeviceKey(&pdo_);
  }

  HANDLE Track(HANDLE h) {
    handles_.push_back(h);
    return h;
  }

  NTSTATUS Create(HANDLE root, const char16_t* path, HANDLE* key, ULONG* disposition = nullptr,
                  ACCESS_MASK access = KEY_ALL_ACCESS) {
    Name name(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    *key = nullptr;
    NTSTATUS status = ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
    if (NT_SUCCESS(status)) Track(*key);
    return status;
  }

  HANDLE OpenSettings(PDEVICE_OBJECT pdo) {
    HANDLE device = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &device), STATUS_SUCCESS);
    Track(device);
    HANDLE settings = nullptr;
    EXPECT_EQ(Create(device, u"Settings", &settings), STATUS_SUCCESS);
    return settings;
  }

  static NTSTATUS Set(HANDLE key, const char16_t* name, ULONG type, const void* data, ULONG size) {
    Name n(name);
    return ZwSetValueKey(key, &n.us, 0, type, const_cast<void*>(data), size);
  }

  static NTSTATUS Query(HANDLE key, const char16_t* name, void* buffer, ULONG length, ULONG* result) {
    Name n(name);
    return ZwQueryValueKey(key, &n.us, KeyValuePartialInformation, buffer, length, result);
  }

  TempFolder tmp_;
  std::shared_ptr<Hive> hive_;
  DEVICE_OBJECT pdo_{};
  std::vector<HANDLE> handles_;
};

TEST_F(DeviceKeys, EachCameraHasItsOwnDriverKey) {
  DEVICE_OBJECT second{};
  ASSERT_EQ(AttachDeviceKey(&second, hive_, 1), STATUS_SUCCESS);
  HANDLE s0 = OpenSettings(&pdo_);
  HANDLE s1 = OpenSettings(&second);
  ULONG v0 = 300, v1 = 7;
  ASSERT_EQ(Set(s0, u"Brightness", REG_DWORD, &v0, 4), STATUS_SUCCESS);
  ASSERT_EQ(Set(s1, u"Brightness", REG_DWORD, &v1, 4), STATUS_SUCCESS);
  EXPECT_EQ(KeyHandlePath(s0), DriverKeyPath(0) + "\\Settings");
  EXPECT_EQ(DriverKeyPath(1),
            "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
            "{6BDD1FC6-810F-11D0-BEC7-08002BE2EF00}\\0001");
  std::string text = ReadText(hive_->file());
  size_t k0 = text.find("[" + DriverKeyPath(0) + "\\Settings]\n\"Brightness\"=dword:0000012c\n");
  size_t k1 = text.find("[" + DriverKeyPath(1) + "\\Settings]\n\"Brightness\"=dword:00000007\n");
  EXPECT_NE(k0, std::string::npos) << text;
  EXPECT_NE(k1, std::string::npos) << text;

  // A second opening finds the key; the disposition says so.
  HANDLE device = nullptr, again = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &device), STATUS_SUCCESS);
  Track(device);
  ULONG disposition = 0;
  ASSERT_EQ(Create(device, u"SETTINGS", &again, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
  UCHAR buffer[20];
  ULONG result = 0;
  ASSERT_EQ(Query(again, u"brightness", buffer, sizeof buffer, &result), STATUS_SUCCESS);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(info->DataLength, 4u);
  EXPECT_EQ(std::memcmp(info->Data, &v0, 4), 0);
  EXPECT_EQ(result, 16u);

  // Open handles outlive the binding.
  DetachDeviceKey(&second);
  EXPECT_EQ(IoOpenDeviceRegistryKey(&second, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &device),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Set(s1, u"Hue", REG_DWORD, &v1, 4), STATUS_SUCCESS);
}

TEST_F(DeviceKeys, QueryReportsSizesAndAbsenceAsThePlatformDoes) {
  HANDLE settings = OpenSettings(&pdo_);
  UCHAR buffer[64];
  ULONG result = 0;
  EXPECT_EQ(Query(settings, u"Timeout", buffer, sizeof buffer, &result), STATUS_OBJECT_NAME_NOT_FOUND);

  UCHAR nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  ASSERT_EQ(Set(settings, u"Long", REG_BINARY, nine, 9), STATUS_SUCCESS);
  EXPECT_EQ(Query(settings, u"Long", buffer, 11, &result), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, 21u);
  auto twenty = std::make_unique<UCHAR[]>(20);  // the address sanitizer sees any write past it
  EXPECT_EQ(Query(settings, u"Long", twenty.get(), 20, &result), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, 21u);
  auto* partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(twenty.get());
  EXPECT_EQ(partial->Type, static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(partial->DataLength, 9u);
  EXPECT_EQ(std::memcmp(partial->Data, nine, 8), 0);  // what fits
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  EXPECT_EQ(Query(settings, u"Long", buffer, 21, &result), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(info->Data, nine, 9), 0);

  // Short values come over exactly sized: nothing past DataLength is written. The heap
  // buffers are exactly as large as the result, so the address sanitizer sees any excess.
  UCHAR two[2] = {0x34, 0x12};
  ASSERT_EQ(Set(settings, u"Short", REG_BINARY, two, 2), STATUS_SUCCESS);
  ASSERT_EQ(Set(settings, u"Nothing", REG_DWORD, nullptr, 0), STATUS_SUCCESS);
  std::memset(buffer, 0xCD, sizeof buffer);
  ASSERT_EQ(Query(settings, u"Short", buffer, 20, &result), STATUS_SUCCESS);
  EXPECT_EQ(result, 14u);
  EXPECT_EQ(info->DataLength, 2u);
  EXPECT_EQ(buffer[12], 0x34);
  EXPECT_EQ(buffer[13], 0x12);
  EXPECT_EQ(buffer[14], 0xCD);
  auto exact = std::make_unique<UCHAR[]>(14);
  EXPECT_EQ(Query(settings, u"Short", exact.get(), 14, &result), STATUS_SUCCESS);
  auto header_only = std::make_unique<UCHAR[]>(12);
  EXPECT_EQ(Query(settings, u"Nothing", header_only.get(), 12, &result), STATUS_SUCCESS);
  EXPECT_EQ(result, 12u);
  EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(header_only.get())->DataLength, 0u);

  EXPECT_EQ(ZwQueryValueKey(settings, nullptr, KeyValueBasicInformation, buffer, 64, &result),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Query(settings, u"Short", buffer, 20, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(DeviceKeys, HandlesAccessAndNamesAreChecked) {
  HANDLE device = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &device), STATUS_SUCCESS);
  Track(device);
  ULONG v = 1;
  UCHAR buffer[20];
  ULONG result;
  EXPECT_EQ(Set(device, u"X", REG_DWORD, &v, 4), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Query(device, u"X", buffer, 20, &result), STATUS_ACCESS_DENIED);
  HANDLE read_only = nullptr;
  ASSERT_EQ(Create(device, u"Settings", &read_only, nullptr, KEY_READ), STATUS_SUCCESS);
  EXPECT_EQ(Set(read_only, u"X", REG_DWORD, &v, 4), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Query(read_only, u"X", buffer, 20, &result), STATUS_OBJECT_NAME_NOT_FOUND);

  HANDLE key = nullptr;
  EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DEVICE, READ_CONTROL, &key), STATUS_INVALID_PARAMETER);
  DEVICE_OBJECT unbound{};
  EXPECT_EQ(IoOpenDeviceRegistryKey(&unbound, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &key),
            STATUS_INVALID_DEVICE_REQUEST);

  for (const char16_t* bad : {u"\\Settings", u"Settings\\", u"A\\\\B", u"Tab\there"})
    EXPECT_EQ(Create(device, bad, &key), STATUS_OBJECT_NAME_INVALID);
  std::u16string long_level(256, u'x');
  EXPECT_EQ(Create(device, long_level.c_str(), &key), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Create(nullptr, u"Settings", &key), STATUS_OBJECT_NAME_NOT_FOUND);

  // Each level of a deeper path is created in turn, in one write.
  ULONG disposition = 0;
  ASSERT_EQ(Create(device, u"A\\B\\C", &key, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
  std::string text = ReadText(hive_->file());
  for (const char* level : {"\\A]", "\\A\\B]", "\\A\\B\\C]"})
    EXPECT_NE(text.find(DriverKeyPath(0) + level), std::string::npos) << level;

  // Closed handles and handles of other objects.
  HANDLE closed = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &closed), STATUS_SUCCESS);
  ASSERT_TRUE(CloseHandle(closed));
  EXPECT_EQ(Set(closed, u"X", REG_DWORD, &v, 4), STATUS_INVALID_HANDLE);
  EXPECT_EQ(Create(closed, u"Settings", &key), STATUS_INVALID_HANDLE);
  HANDLE thread_like = Track(InsertHandle(std::make_shared<NotAKey>()));
  EXPECT_EQ(Query(thread_like, u"X", buffer, 20, &result), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(Create(thread_like, u"Settings", &key), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_FALSE(KeyHandlePath(thread_like));

  // Generic rights grant the key rights.
  HANDLE generic = nullptr;
  ASSERT_EQ(Create(device, u"Settings", &generic, nullptr, 0x10000000 /* GENERIC_ALL */), STATUS_SUCCESS);
  EXPECT_EQ(Set(generic, u"X", REG_DWORD, &v, 4), STATUS_SUCCESS);
}

TEST(Rtl, CountedStringsAndMemoryCompare) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, u"Settings");
  EXPECT_EQ(s.Length, 16);
  EXPECT_EQ(s.MaximumLength, 18);
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);
  std::u16string huge(40000, u'a');
  RtlInitUnicodeString(&s, huge.c_str());
  EXPECT_EQ(s.Length, 0xFFFC);
  EXPECT_EQ(s.MaximumLength, 0xFFFE);
  EXPECT_EQ(RtlCompareMemory("abcd", "abXd", 4), 2u);
  EXPECT_EQ(RtlCompareMemory("abcd", "abcd", 4), 4u);
}

}  // namespace
}  // namespace kscam::host::registry
