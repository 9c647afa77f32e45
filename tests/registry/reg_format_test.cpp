#include "host/registry/reg_format.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/wdm.h"

namespace kscam::host::registry {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) { return std::vector<uint8_t>(list.begin(), list.end()); }

std::vector<uint8_t> Utf16z(std::u16string_view s) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

TEST(RegFormat, EveryValueKindSurvivesPrintAndParse) {
  Store store;
  Key& key = store.AddKey("HKEY_LOCAL_MACHINE\\SYSTEM\\Cam\\0000");
  Store::SetValue(key, "Timeout", REG_DWORD, Bytes({0xb8, 0x0b, 0, 0}));
  Store::SetValue(key, "Brightness", REG_DWORD, Bytes({0xff, 0xff, 0xff, 0xff}));
  Store::SetValue(key, "Short", REG_DWORD, Bytes({0x12, 0x34}));  // not four bytes: hex(4)
  std::vector<uint8_t> blob;
  for (int i = 0; i < 200; ++i) blob.push_back(static_cast<uint8_t>(i * 7));
  Store::SetValue(key, "Blob", REG_BINARY, blob);
  Store::SetValue(key, "Empty", REG_BINARY, {});
  Store::SetValue(key, "Expand", REG_EXPAND_SZ, Utf16z(u"%SystemRoot%\\x"));
  Store::SetValue(key, "Multi", REG_MULTI_SZ, Bytes({'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
  Store::SetValue(key, "Quad", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
  Store::SetValue(key, "Odd type", 0x1234, Bytes({9}));
  Store::SetValue(key, "Quote \"and\\ slash", REG_SZ, Utf16z(u"say \"hi\" C:\\dir \u00e9\u20ac\U0001F600"));
  Store::SetValue(key, "Newline", REG_SZ, Utf16z(u"two\nlines"));  // unprintable: hex(1)
  Store::SetValue(key, "NoTerminator", REG_SZ, Bytes({'a', 0}));
  Store::SetValue(key, "", REG_SZ, Utf16z(u"default"));
  store.AddKey("HKEY_LOCAL_MACHINE\\SYSTEM\\Cam\\0000\\Settings");

  std::string text = PrintRegFile(store);
  ParseError error;
  std::optional<Store> back = ParseRegFile(text, &error);
  ASSERT_TRUE(back) << error.line << ": " << error.reason << "\n" << text;
  EXPECT_EQ(*back, store);
  EXPECT_EQ(PrintRegFile(*back), text);

  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Cam\\0000]\n", 0), 0u);
  EXPECT_NE(text.find("\n\"Timeout\"=dword:00000bb8\n"), std::string::npos);
  EXPECT_NE(text.find("\n\"Brightness\"=dword:ffffffff\n"), std::string::npos);
  EXPECT_NE(text.find("\n\"Short\"=hex(4):12,34\n"), std::string::npos);
  EXPECT_NE(text.find("\n\"Empty\"=hex:\n"), std::string::npos);
  EXPECT_NE(text.find("\n\"Quad\"=hex(b):01,02,03,04,05,06,07,08\n"), std::string::npos);
  EXPECT_NE(text.find("\n\"Odd type\"=hex(1234):09\n"), std::string::npos);
  EXPECT_NE(text.find("\n\"Quote \\\"and\\\\ slash\"=\"say \\\"hi\\\" C:\\\\dir \u00e9\u20ac\U0001F600\"\n"),
            std::string::npos);
  EXPECT_NE(text.find("\n\"Newline\"=hex(1):"), std::string::npos);
  EXPECT_NE(text.find("\n\"NoTerminator\"=hex(1):61,00\n"), std::string::npos);
  EXPECT_NE(text.find("\n@=\"default\"\n"), std::string::npos);
  // Long lists wrap as the registry editor wraps them.
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LE(line.size(), 80u) << line;
  }
  EXPECT_NE(text.find(",\\\n  "), std::string::npos);
}

TEST(RegFormat, ReadsWhatThePlatformEditorWrites) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; exported by hand\r\n"
      "[HKEY_LOCAL_MACHINE\\Cam]\r\n"
      "\"Gone\"=dword:00000001\r\n"
      "\"Bin\"=hex:01,02,\\\r\n"
      "  03,04\r\n"
      "\"Str\"=\"a\\\\b\"\r\n"
      "\"small\"=dword:b\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Cam\\Old]\r\n"
      "\"x\"=dword:00000001\r\n"
      "\r\n"
      "[hkey_local_machine\\CAM]\r\n"
      "\"gone\"=-\r\n"
      "\"SMALL\"=dword:0000000c\r\n"
      "[-HKEY_LOCAL_MACHINE\\Cam\\Old]\r\n";
  ParseError error;
  std::optional<Store> store = ParseRegFile(text, &error);
  ASSERT_TRUE(store) << error.line << ": " << error.reason;
  ASSERT_EQ(store->keys().size(), 1u);
  const Key& key = store->keys()[0];
  EXPECT_EQ(key.path, "HKEY_LOCAL_MACHINE\\Cam");  // first spelling kept
  ASSERT_EQ(key.values.size(), 3u);
  EXPECT_EQ(key.values[0].name, "Bin");
  EXPECT_EQ(key.values[0].data, Bytes({1, 2, 3, 4}));
  EXPECT_EQ(key.values[1].data, Utf16z(u"a\\b"));
  EXPECT_EQ(key.values[2].name, "small");  // rewritten in place, name as first written
  EXPECT_EQ(key.values[2].data, Bytes({12, 0, 0, 0}));

  // The same file as the editor saves it: UTF-16LE with a byte-order mark.
  std::string wide = "\xFF\xFE";
  for (char c : text) wide += {c, '\0'};
  std::optional<Store> from_wide = ParseRegFile(wide, &error);
  ASSERT_TRUE(from_wide);
  EXPECT_EQ(*from_wide, *store);

  EXPECT_TRUE(ParseRegFile("", &error) && ParseRegFile("", &error)->empty());
  EXPECT_TRUE(ParseRegFile("\n  \n", &error));
}

TEST(RegFormat, RefusesDamagedText) {
  const std::string head = "Windows Registry Editor Version 5.00\n\n[K]\n";
  struct Case {
    std::string text;
    size_t line;
  } cases[] = {
      {"REGEDIT4\n", 1},
      {"garbage\n[K]\n", 1},
      {head + "\"a\"=dword:123456789\n", 4},
      {head + "\"a\"=dword:\n", 4},
      {head + "\"a\"=hex:01,zz\n", 4},
      {head + "\"a\"=hex:01,\n", 4},
      {head + "\"a\"=hex:01,\\\n", 4},
      {head + "\"a\"=hex(q):01\n", 4},
      {head + "\"a\"=\"open\n", 4},
      {head + "\"a\"=\"bad \\q escape\"\n", 4},
      {head + "\"a\"=\"x\" trailing\n", 4},
      {head + "\"a\" dword:1\n", 4},
      {head + "\"a\"=float:1\n", 4},
      {head + "[K\n", 4},
      {head + "[K\\\\L]\n", 4},
      {head + "[-K]\n\"a\"=dword:1\n", 5},
      {"Windows Registry Editor Version 5.00\n\"a\"=dword:1\n", 2},
      {head + "\"a\xff\"=dword:1\n", 0},
  };
  for (const Case& c : cases) {
    ParseError error;
    EXPECT_FALSE(ParseRegFile(c.text, &error)) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_FALSE(error.reason.empty());
  }
}

TEST(RegFormat, NamesMatchWithoutCaseAndKeepTheirSpelling) {
  Store store;
  store.AddKey("Dev\\0000");
  store.AddKey("Other");
  bool created = true;
  Key& settings = store.AddKey("DEV\\0000\\Settings", &created);
  EXPECT_TRUE(created);
  // Placed with its device, not after unrelated keys.
  EXPECT_EQ(store.keys()[1].path, "DEV\\0000\\Settings");
  Store::SetValue(settings, "Timeout", REG_DWORD, Bytes({1, 0, 0, 0}));
  Store::SetValue(settings, "Exposure", REG_DWORD, Bytes({2, 0, 0, 0}));
  Store::SetValue(*store.FindKey("dev\\0000\\SETTINGS"), "TIMEOUT", REG_DWORD, Bytes({3, 0, 0, 0}));
  store.AddKey("dev\\0000\\settings", &created);
  EXPECT_FALSE(created);
  const Key* k = store.FindKey("Dev\\0000\\settings");
  ASSERT_TRUE(k);
  ASSERT_EQ(k->values.size(), 2u);
  EXPECT_EQ(k->values[0].name, "Timeout");
  EXPECT_EQ(k->values[0].data[0], 3);
  EXPECT_TRUE(store.DeleteTree("dev\\0000"));
  ASSERT_EQ(store.keys().size(), 1u);
  EXPECT_EQ(store.keys()[0].path, "Other");
}

}  // namespace
}  // namespace kscam::host::registry
