// The settings hive: one registry export file on disk behind an in-memory store.
//
// Every change (a value written, a key created) rewrites the whole file atomically: the new
// text goes to FILE.tmp in the same folder, is synced, renamed over FILE, and the folder is
// synced, so a crash leaves either the old or the new file, never a torn one.
//
// Several writers may share a file. In one Hive object a mutex serialises the operations.
// Across Hive objects and processes, a writer takes an exclusive flock on the folder and
// reads the file again before it applies its change, so values written by others in the
// meantime are kept. Reads re-read the file when its identity (device, inode, size,
// modification time) differs from the one last read or written. On a file system without
// flock, writes go ahead unlocked.
//
// The file is UTF-8 with LF line ends; see reg_format.h for what is read and written.
//
// A file that does not parse is moved aside to FILE.bad (FILE.bad.1, ... if that exists),
// one warning line goes to stderr, and the store starts empty, so callers fall back to their
// defaults. A missing file is an empty store; it and its folder are created on the first
// write.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "host/registry/reg_format.h"
#include "platform/wdm.h"

namespace kscam::host::registry {

class Hive {
 public:
  // Reads the file (see above). Fails, with a message, only when an existing file cannot be
  // read (permissions, a folder in its place).
  static std::shared_ptr<Hive> Open(const std::filesystem::path& file, std::string* error);

  const std::filesystem::path& file() const { return file_; }

  // Creates `base` and then each backslash-separated level of `relative` below it that is
  // missing, and reports whether the last level was new; an empty `relative` names `base`
  // itself and creates nothing. Only a creation writes the file. STATUS_SUCCESS,
  // STATUS_OBJECT_NAME_INVALID, or a failure of the write.
  NTSTATUS CreateKey(std::string_view base, std::string_view relative, bool* created);

  // The value, or STATUS_OBJECT_NAME_NOT_FOUND when the key or the value does not exist.
  NTSTATUS QueryValue(std::string_view key, std::string_view name, Value* out);

  // Writes the value (creating the key if another writer removed it) and rewrites the file.
  NTSTATUS SetValue(std::string_view key, std::string_view name, uint32_t type, std::span<const uint8_t> data);

  // The current contents, re-read first if another writer changed the file.
  Store Snapshot();

  // The last write failure as one line ("cannot create folder ...: Permission denied"), then
  // cleared; empty when every write since the last call succeeded. The driver ignores the
  // status of its writes, so the host reports them from here.
  std::string TakeWriteError();

  // Test hook, called after FILE.tmp is complete and synced, just before it replaces FILE.
  // Returning false abandons the write there, as a crash at that moment would: the temporary
  // file stays, FILE is untouched, and the write fails.
  void SetBeforeReplaceHook(std::function<bool()> hook);

 private:
  struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtime_ns = 0;
    bool operator==(const FileId&) const = default;
  };

  explicit Hive(std::filesystem::path file);

  // Brings store_ up to date with the file. `locked` says the caller holds the folder lock:
  // then the file is always read (a change must apply to the latest contents, and only a
  // lock holder may move a damaged file aside). False with `error` set when the file exists
  // but cannot be read.
  bool Refresh(bool locked, std::string* error);
  // Applies `change` to the freshest store and writes it; `change` returns false when there
  // is nothing to write.
  NTSTATUS Commit(const std::function<bool(Store&)>& change);
  NTSTATUS Fail(int err, std::string message);
  void Quarantine(const std::string& reason);

  std::mutex lock_;
  const std::filesystem::path file_;
  const std::filesystem::path dir_;
  Store store_;
  std::string last_text_;  // the file's text as last read or written
  FileId id_;
  std::string write_error_;
  bool damaged_in_place_ = false;  // a damaged file that could not be moved aside
  std::function<bool()> before_replace_;
};

}  // namespace kscam::host::registry
