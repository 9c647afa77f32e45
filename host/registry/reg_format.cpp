#include "host/registry/reg_format.h"

#include <algorithm>
#include <cstdio>

#include "platform/wdm.h"

namespace kscam::host::registry {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool StartsWithFolded(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && NamesEqual(s.substr(0, prefix.size()), prefix);
}

// The parent of a key path, or empty for a one-level path.
std::string_view ParentOf(std::string_view path) {
  size_t slash = path.rfind('\\');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

bool IsBelowOrSame(std::string_view path, std::string_view ancestor) {
  if (path.size() == ancestor.size()) return NamesEqual(path, ancestor);
  return path.size() > ancestor.size() && path[ancestor.size()] == '\\' &&
         StartsWithFolded(path, ancestor);
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}
std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}
std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

bool HasControl(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1..max_digits hex digits, nothing else.
bool ParseHex(std::string_view s, size_t max_digits, uint32_t* out) {
  if (s.empty() || s.size() > max_digits) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

// A quoted string starting at s[0] == '"' with the export's two escapes, \\ and \".
// Returns the characters consumed, 0 on error.
size_t ParseQuoted(std::string_view s, std::string* out) {
  out->clear();
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') return i + 1;
    if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return 0;
      c = s[++i];
    }
    out->push_back(c);
  }
  return 0;
}

void AppendQuoted(std::string* out, std::string_view s) {
  out->push_back('"');
  for (char c : s) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

bool ValidUtf8(std::string_view s) {
  std::u16string ignored;
  return Utf8ToUtf16(s, &ignored);
}

// REG_SZ data that reads back identically from its string form: UTF-16LE, exactly one NUL
// at the end, nothing unprintable.
bool PrintableString(const std::vector<uint8_t>& data, std::string* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  std::u16string wide;
  for (size_t i = 0; i + 1 < data.size(); i += 2) wide.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  if (wide.back() != 0) return false;
  wide.pop_back();
  for (char16_t c : wide)
    if (c < 0x20 || c == 0x7F) return false;
  return Utf16ToUtf8(wide, text);
}

std::vector<uint8_t> StringData(std::string_view utf8) {
  std::u16string wide;
  Utf8ToUtf16(utf8, &wide);  // the file was checked to be valid UTF-8 before parsing
  std::vector<uint8_t> data;
  data.reserve(wide.size() * 2 + 2);
  for (char16_t c : wide) {
    data.push_back(static_cast<uint8_t>(c));
    data.push_back(static_cast<uint8_t>(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

// Hex byte list as the registry editor writes it: "xx,xx,...", wrapped with ",\" and a
// two-space indent so no line passes 80 columns.
void AppendHexList(std::string* out, size_t line_start, const std::vector<uint8_t>& data) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0) {
      out->push_back(',');
      if (out->size() - line_start + 3 > 78) {
        out->append("\\\n  ");
        line_start = out->size() - 2;
      }
    }
    out->push_back(digits[data[i] >> 4]);
    out->push_back(digits[data[i] & 15]);
  }
}

class Parser {
 public:
  Parser(std::string_view text, ParseError* error) : text_(text), error_(error) {}

  std::optional<Store> Run() {
    std::string_view line;
    bool header_seen = false;
    Key* key = nullptr;
    std::string key_path;
    while (NextLine(&line)) {
      std::string_view t = Trim(line);
      if (!header_seen) {
        if (t.empty()) continue;
        if (t != kHeader) return Fail("not a registry export (first line must be \"Windows Registry Editor Version 5.00\")");
        header_seen = true;
        continue;
      }
      if (t.empty() || t.front() == ';') continue;
      if (t.front() == '[') {
        if (t.back() != ']') return Fail("key line without closing ]");
        std::string_view path = t.substr(1, t.size() - 2);
        bool remove = !path.empty() && path.front() == '-';
        if (remove) path.remove_prefix(1);
        if (!ValidKeyPath(path)) return Fail("malformed key path");
        if (remove) {
          store_.DeleteTree(path);
          key = nullptr;
        } else {
          key = &store_.AddKey(path, nullptr, true);
          key_path.assign(path);
        }
        continue;
      }
      if (!key) return Fail("value outside a key section");
      if (!ParseValue(t, store_.FindKey(key_path))) return std::nullopt;
      key = store_.FindKey(key_path);  // AddKey of later keys may move the vector
    }
    return store_;
  }

 private:
  bool NextLine(std::string_view* line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(pos_, end - pos_);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    pos_ = end + 1;
    ++line_no_;
    return true;
  }

  std::nullopt_t Fail(std::string reason) {
    if (error_) {
      error_->line = line_no_;
      error_->reason = std::move(reason);
    }
    return std::nullopt;
  }

  bool ParseValue(std::string_view t, Key* key) {
    std::string name;
    size_t used;
    if (t.front() == '@') {
      used = 1;
    } else if (t.front() == '"') {
      used = ParseQuoted(t, &name);
      if (used == 0) return Fail("malformed value name"), false;
      if (!ValidValueName(name)) return Fail("control character in value name"), false;
    } else {
      return Fail("expected a key [path], a value \"Name\"=... or @=..."), false;
    }
    t = TrimLeft(t.substr(used));
    if (t.empty() || t.front() != '=') return Fail("expected = after the value name"), false;
    t = TrimLeft(t.substr(1));

    if (t == "-") {
      Store::DeleteValue(*key, name);
      return true;
    }
    if (!t.empty() && t.front() == '"') {
      std::string s;
      used = ParseQuoted(t, &s);
      if (used == 0 || !Trim(t.substr(used)).empty()) return Fail("malformed string value"), false;
      Store::SetValue(*key, name, REG_SZ, StringData(s));
      return true;
    }
    if (StartsWithFolded(t, "dword:")) {
      uint32_t v;
      if (!ParseHex(Trim(t.substr(6)), 8, &v)) return Fail("malformed dword value"), false;
      Store::SetValue(*key, name, REG_DWORD,
                      {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                       static_cast<uint8_t>(v >> 24)});
      return true;
    }
    uint32_t type;
    if (StartsWithFolded(t, "hex:")) {
      type = REG_BINARY;
      t.remove_prefix(4);
    } else if (StartsWithFolded(t, "hex(")) {
      size_t close = t.find(')');
      if (close == std::string_view::npos || close + 1 >= t.size() || t[close + 1] != ':' ||
          !ParseHex(t.substr(4, close - 4), 8, &type))
        return Fail("malformed hex(type) value"), false;
      t.remove_prefix(close + 2);
    } else {
      return Fail("unknown value kind"), false;
    }
    std::string list(TrimRight(t));
    while (!list.empty() && list.back() == '\\') {
      list.pop_back();
      std::string_view next;
      if (!NextLine(&next)) return Fail("hex list continued past the end of the file"), false;
      list.append(Trim(next));
    }
    std::vector<uint8_t> data;
    std::string_view rest = Trim(list);
    while (!rest.empty()) {
      size_t comma = rest.find(',');
      std::string_view item = Trim(rest.substr(0, comma));
      uint32_t byte;
      if (!ParseHex(item, 2, &byte)) return Fail("malformed hex byte list"), false;
      data.push_back(static_cast<uint8_t>(byte));
      if (comma == std::string_view::npos) break;
      rest = rest.substr(comma + 1);
      if (Trim(rest).empty()) return Fail("hex byte list ends with a comma"), false;
    }
    Store::SetValue(*key, name, type, std::move(data));
    return true;
  }

  std::string_view text_;
  ParseError* error_;
  size_t pos_ = 0;
  size_t line_no_ = 0;
  Store store_;
};

}  // namespace

bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

Key* Store::FindKey(std::string_view path) {
  for (Key& k : keys_)
    if (NamesEqual(k.path, path)) return &k;
  return nullptr;
}

const Key* Store::FindKey(std::string_view path) const { return const_cast<Store*>(this)->FindKey(path); }

Key& Store::AddKey(std::string_view path, bool* created, bool at_end) {
  if (Key* k = FindKey(path)) {
    if (created) *created = false;
    return *k;
  }
  if (created) *created = true;
  // After the last key of the nearest existing ancestor's subtree; at the end otherwise.
  size_t at = keys_.size();
  for (std::string_view anc = at_end ? std::string_view() : ParentOf(path); !anc.empty(); anc = ParentOf(anc)) {
    bool found = false;
    for (size_t i = 0; i < keys_.size(); ++i) {
      if (IsBelowOrSame(keys_[i].path, anc)) {
        found = true;
        at = i + 1;
      }
    }
    if (found) break;
  }
  Key key;
  key.path.assign(path);
  return *keys_.insert(keys_.begin() + static_cast<std::ptrdiff_t>(at), std::move(key));
}

bool Store::DeleteTree(std::string_view path) {
  size_t before = keys_.size();
  std::erase_if(keys_, [&](const Key& k) { return IsBelowOrSame(k.path, path); });
  return keys_.size() != before;
}

const Value* Store::FindValue(const Key& key, std::string_view name) {
  for (const Value& v : key.values)
    if (NamesEqual(v.name, name)) return &v;
  return nullptr;
}

void Store::SetValue(Key& key, std::string_view name, uint32_t type, std::vector<uint8_t> data) {
  for (Value& v : key.values) {
    if (NamesEqual(v.name, name)) {
      v.type = type;
      v.data = std::move(data);
      return;
    }
  }
  key.values.push_back(Value{std::string(name), type, std::move(data)});
}

bool Store::DeleteValue(Key& key, std::string_view name) {
  return std::erase_if(key.values, [&](const Value& v) { return NamesEqual(v.name, name); }) > 0;
}

bool ValidKeyPath(std::string_view path) {
  if (path.empty() || path.front() == '\\' || path.back() == '\\') return false;
  if (path.find("\\\\") != std::string_view::npos) return false;
  return !HasControl(path) && ValidUtf8(path);
}

bool ValidValueName(std::string_view name) { return !HasControl(name) && ValidUtf8(name); }

std::optional<Store> ParseRegFile(std::string_view bytes, ParseError* error) {
  std::string converted;
  if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) {
      if (error) *error = {0, "odd length for a UTF-16 file"};
      return std::nullopt;
    }
    std::u16string wide;
    for (size_t i = 2; i < bytes.size(); i += 2)
      wide.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8));
    if (!Utf16ToUtf8(wide, &converted)) {
      if (error) *error = {0, "malformed UTF-16"};
      return std::nullopt;
    }
    bytes = converted;
  } else if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    bytes.remove_prefix(3);
  }
  if (!ValidUtf8(bytes)) {
    if (error) *error = {0, "not valid UTF-8 text"};
    return std::nullopt;
  }
  return Parser(bytes, error).Run();
}

std::string PrintRegFile(const Store& store) {
  std::string out;
  out.append(kHeader).append("\n\n");
  for (const Key& key : store.keys()) {
    out.append("[").append(key.path).append("]\n");
    for (const Value& v : key.values) {
      size_t line_start = out.size();
      if (v.name.empty())
        out.push_back('@');
      else
        AppendQuoted(&out, v.name);
      out.push_back('=');
      std::string text;
      if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        uint32_t x = v.data[0] | v.data[1] << 8 | v.data[2] << 16 | static_cast<uint32_t>(v.data[3]) << 24;
        std::snprintf(buf, sizeof buf, "dword:%08x", x);
        out.append(buf);
      } else if (v.type == REG_SZ && PrintableString(v.data, &text)) {
        AppendQuoted(&out, text);
      } else {
        if (v.type == REG_BINARY) {
          out.append("hex:");
        } else {
          char buf[24];
          std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
          out.append(buf);
        }
        AppendHexList(&out, line_start, v.data);
      }
      out.push_back('\n');
    }
    out.push_back('\n');
  }
  return out;
}

bool Utf16ToUtf8(std::u16string_view in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (in[++i] - 0xDC00);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | c >> 6));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | c >> 12));
      out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | c >> 18));
      out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

bool Utf8ToUtf16(std::string_view in, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < in.size();) {
    uint8_t b = static_cast<uint8_t>(in[i]);
    uint32_t c;
    size_t n;
    if (b < 0x80) {
      c = b;
      n = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      n = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      n = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      n = 4;
    } else {
      return false;
    }
    if (i + n > in.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      uint8_t cont = static_cast<uint8_t>(in[i + k]);
      if ((cont & 0xC0) != 0x80) return false;
      c = c << 6 | (cont & 0x3F);
    }
    static const uint32_t min_for_length[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < min_for_length[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      c -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(c));
    }
    i += n;
  }
  return true;
}

}  // namespace kscam::host::registry
