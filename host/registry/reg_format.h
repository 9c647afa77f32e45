// The registry store held in memory and its text form: the platform's registry export format
// ("Windows Registry Editor Version 5.00", [key path] sections, "Name"=dword:... values), so a
// user can read, edit or import the settings file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kscam::host::registry {

// Names are kept as UTF-8 with their case preserved; lookups ignore ASCII case, as the
// platform's registry does for the names drivers use.
struct Value {
  std::string name;  // empty: the key's default value, written "@"
  uint32_t type = 0;
  std::vector<uint8_t> data;
  bool operator==(const Value&) const = default;
};

struct Key {
  std::string path;  // full path, levels separated by backslashes
  std::vector<Value> values;  // in the order they were first written
  bool operator==(const Key&) const = default;
};

bool NamesEqual(std::string_view a, std::string_view b);

class Store {
 public:
  const std::vector<Key>& keys() const { return keys_; }
  bool empty() const { return keys_.empty(); }

  Key* FindKey(std::string_view path);
  const Key* FindKey(std::string_view path) const;

  // Adds the key if absent and returns it; `created` tells which happened. A new key goes
  // after the subtree of its nearest existing ancestor, so a file keeps each device's keys
  // together, or at the end when `at_end` (a file read keeps its own order).
  Key& AddKey(std::string_view path, bool* created = nullptr, bool at_end = false);

  // Removes the key and every key below it; false if the key did not exist.
  bool DeleteTree(std::string_view path);

  static const Value* FindValue(const Key& key, std::string_view name);
  // Replaces the value in place (keeping its position) or appends it.
  static void SetValue(Key& key, std::string_view name, uint32_t type, std::vector<uint8_t> data);
  static bool DeleteValue(Key& key, std::string_view name);

  bool operator==(const Store&) const = default;

 private:
  std::vector<Key> keys_;
};

// True when the path is one or more non-empty levels separated by single backslashes, with
// no control characters (the text form cannot hold them).
bool ValidKeyPath(std::string_view path);
// A value name may be anything printable; control characters cannot be written.
bool ValidValueName(std::string_view name);

struct ParseError {
  size_t line = 0;  // 1-based physical line, 0 for an encoding error
  std::string reason;
};

// Reads a whole file. Accepts UTF-8 (with or without a byte-order mark) and the UTF-16LE
// files the platform's registry editor exports, CRLF or LF line ends, comment lines (";"),
// key deletions ("[-path]") and value deletions ("Name"=-), hex lists continued with "\".
// An empty or blank file is an empty store. Anything else that does not parse is an error.
std::optional<Store> ParseRegFile(std::string_view bytes, ParseError* error);

// Writes the store: UTF-8, LF line ends, keys and values in store order. REG_DWORD values of
// four bytes as dword:, printable NUL-terminated REG_SZ values as strings, REG_BINARY as hex:,
// everything else as hex(type): with its exact bytes; long hex lists wrap at 80 columns.
std::string PrintRegFile(const Store& store);

// UTF conversions for names and REG_SZ data; false on malformed input (lone surrogates,
// invalid UTF-8).
bool Utf16ToUtf8(std::u16string_view in, std::string* out);
bool Utf8ToUtf16(std::string_view in, std::u16string* out);

}  // namespace kscam::host::registry
