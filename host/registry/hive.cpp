#include "host/registry/hive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace kscam::host::registry {
namespace fs = std::filesystem;

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

// The folder's exclusive lock for one read-modify-write, and its descriptor for the sync
// after the rename. Where the file system has no flock the write goes ahead unlocked.
class FolderLock {
 public:
  explicit FolderLock(const fs::path& dir) {
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
      err_ = errno;
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  int fd() const { return fd_; }
  int error() const { return err_; }

 private:
  int fd_ = -1;
  int err_ = 0;
};

bool WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, std::string* out) {
  out->clear();
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
  }
}

// Moves the damaged file to FILE.bad, or FILE.bad.N if that is taken: an earlier damaged
// copy is never overwritten. Returns the name used, empty if the file could not be moved.
fs::path MoveAside(const fs::path& file) {
  for (int n = 0; n < 1000; ++n) {
    fs::path bad = file;
    bad += n == 0 ? std::string(".bad") : ".bad." + std::to_string(n);
    if (::link(file.c_str(), bad.c_str()) == 0) {
      ::unlink(file.c_str());
      return bad;
    }
    if (errno == EEXIST) continue;
    // No hard links on this file system: a rename, after checking the name is free.
    struct stat st;
    if (::lstat(bad.c_str(), &st) == 0) continue;
    if (::rename(file.c_str(), bad.c_str()) == 0) return bad;
    return {};
  }
  return {};
}

// A full path also must not start with "-", which the file would read as a key deletion.
bool ValidFullPath(std::string_view path) { return ValidKeyPath(path) && path.front() != '-'; }

}  // namespace

Hive::Hive(fs::path file) : file_(std::move(file)), dir_(file_.parent_path()) {}

std::shared_ptr<Hive> Hive::Open(const fs::path& file, std::string* error) {
  std::error_code ec;
  fs::path path = fs::absolute(file, ec);
  if (ec || path.filename().empty()) {
    if (error) *error = "invalid settings file name \"" + file.string() + "\"";
    return nullptr;
  }
  // Writes replace the file by rename; resolving a symbolic link first keeps the link.
  fs::path resolved = fs::weakly_canonical(path, ec);
  if (!ec) path = resolved;
  std::shared_ptr<Hive> hive(new Hive(path));
  std::lock_guard guard(hive->lock_);
  std::string message;
  if (!hive->Refresh(false, &message)) {
    if (error) *error = message;
    return nullptr;
  }
  return hive;
}

bool Hive::Refresh(bool locked, std::string* error) {
  struct stat st;
  FileId now;
  if (::stat(file_.c_str(), &st) == 0) {
    now = FileId{true, st.st_dev, st.st_ino, st.st_size,
                 static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
  } else if (errno != ENOENT && errno != ENOTDIR) {  // a missing folder is reported when written
    *error = "cannot read settings file " + file_.string() + ": " + ErrnoText(errno);
    return false;
  }
  // Identity alone is a cheap test for reads. Timestamps are coarse and inodes are reused,
  // so a writer, holding the lock, always compares the contents.
  if (now == id_ && !locked) return true;
  if (!now.exists) {  // removed by someone else: start over empty
    damaged_in_place_ = false;
    store_ = Store();
    last_text_.clear();
    id_ = now;
    return true;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = "settings file " + file_.string() + " is a folder";
    return false;
  }

  int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return Refresh(locked, error);  // removed meanwhile
    *error = "cannot read settings file " + file_.string() + ": " + ErrnoText(errno);
    return false;
  }
  std::string text;
  bool read_ok = ::fstat(fd, &st) == 0 && ReadAll(fd, &text);
  int read_err = errno;
  ::close(fd);
  if (!read_ok) {
    *error = "cannot read settings file " + file_.string() + ": " + ErrnoText(read_err);
    return false;
  }
  now = FileId{true, st.st_dev, st.st_ino, st.st_size,
               static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};

  if (id_.exists && text == last_text_) {
    id_ = now;
    return true;
  }
  ParseError parse_error;
  std::optional<Store> parsed = ParseRegFile(text, &parse_error);
  if (parsed) {
    damaged_in_place_ = false;
    store_ = std::move(*parsed);
    last_text_ = std::move(text);
    id_ = now;
    return true;
  }
  if (!locked) {
    // Moving the file aside must not race with another writer replacing it with a good one.
    FolderLock folder(dir_);
    return Refresh(true, error);
  }
  std::string reason = parse_error.line ? "line " + std::to_string(parse_error.line) + ": " + parse_error.reason
                                        : parse_error.reason;
  Quarantine(reason);
  if (damaged_in_place_) last_text_ = std::move(text);
  return true;
}

void Hive::Quarantine(const std::string& reason) {
  fs::path bad = MoveAside(file_);
  if (!bad.empty()) {
    std::fprintf(stderr, "kscam: settings file %s is damaged (%s); kept as %s, using defaults\n", file_.c_str(),
                 reason.c_str(), bad.c_str());
  } else {
    std::fprintf(stderr, "kscam: settings file %s is damaged (%s) and cannot be moved aside (%s); using defaults\n",
                 file_.c_str(), reason.c_str(), ErrnoText(errno).c_str());
  }
  store_ = Store();
  last_text_.clear();
  damaged_in_place_ = bad.empty();
  // If it could not be moved, remember the damaged file as read so it is not reported again.
  struct stat st;
  if (bad.empty() && ::stat(file_.c_str(), &st) == 0) {
    id_ = FileId{true, st.st_dev, st.st_ino, st.st_size,
                 static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
  } else {
    id_ = FileId();
  }
}

NTSTATUS Hive::Fail(int err, std::string message) {
  write_error_ = std::move(message);
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return STATUS_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
    case ENOMEM:
      return STATUS_INSUFFICIENT_RESOURCES;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

NTSTATUS Hive::Commit(const std::function<bool(Store&)>& change) {
  std::error_code ec;
  fs::create_directories(dir_, ec);
  if (ec) return Fail(ec.value(), "cannot create folder " + dir_.string() + ": " + ec.message());
  FolderLock folder(dir_);
  if (folder.fd() < 0)
    return Fail(folder.error(), "cannot open folder " + dir_.string() + ": " + ErrnoText(folder.error()));

  std::string message;
  if (!Refresh(true, &message)) return Fail(EIO, message);
  if (damaged_in_place_)
    return Fail(EIO, "settings file " + file_.string() + " is damaged and cannot be moved aside; not overwriting it");
  Store next = store_;
  if (!change(next)) return STATUS_SUCCESS;
  std::string text = PrintRegFile(next);

  fs::path temp = file_;
  temp += ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Fail(errno, "cannot write " + temp.string() + ": " + ErrnoText(errno));
  struct stat st;
  if (::stat(file_.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);  // keep the user's permissions
  if (!WriteAll(fd, text) || ::fsync(fd) != 0 || ::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return Fail(err, "cannot write " + temp.string() + ": " + ErrnoText(err));
  }
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    return Fail(err, "cannot write " + temp.string() + ": " + ErrnoText(err));
  }
  FileId written{true, st.st_dev, st.st_ino, st.st_size,
                 static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};

  if (before_replace_ && !before_replace_())
    return Fail(EIO, "write of " + file_.string() + " abandoned before the replace");

  if (::rename(temp.c_str(), file_.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    return Fail(err, "cannot replace " + file_.string() + ": " + ErrnoText(err));
  }
  store_ = std::move(next);
  last_text_ = std::move(text);
  id_ = written;
  // The new file is in place; without this sync the rename itself may not survive a crash.
  if (::fsync(folder.fd()) != 0) write_error_ = "cannot sync folder " + dir_.string() + ": " + ErrnoText(errno);
  return STATUS_SUCCESS;
}

NTSTATUS Hive::CreateKey(std::string_view base, std::string_view relative, bool* created) {
  if (!ValidFullPath(base) || (!relative.empty() && !ValidKeyPath(relative))) return STATUS_OBJECT_NAME_INVALID;
  if (relative.empty()) {  // the key itself: nothing to create
    if (created) *created = false;
    return STATUS_SUCCESS;
  }
  std::lock_guard guard(lock_);
  bool made = false;
  NTSTATUS status = Commit([&](Store& store) {
    bool any = false;
    store.AddKey(base, &any);
    std::string path(base);
    for (size_t start = 0; start <= relative.size();) {
      size_t end = relative.find('\\', start);
      if (end == std::string_view::npos) end = relative.size();
      path.append("\\").append(relative.substr(start, end - start));
      store.AddKey(path, &made);
      any = any || made;
      start = end + 1;
    }
    return any;
  });
  if (NT_SUCCESS(status) && created) *created = made;
  return status;
}

NTSTATUS Hive::QueryValue(std::string_view key, std::string_view name, Value* out) {
  std::lock_guard guard(lock_);
  std::string ignored;  // an unreadable file keeps serving what was read last
  Refresh(false, &ignored);
  const Key* k = store_.FindKey(key);
  const Value* v = k ? Store::FindValue(*k, name) : nullptr;
  if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
  *out = *v;
  return STATUS_SUCCESS;
}

NTSTATUS Hive::SetValue(std::string_view key, std::string_view name, uint32_t type, std::span<const uint8_t> data) {
  if (!ValidFullPath(key)) return STATUS_OBJECT_NAME_INVALID;
  if (!ValidValueName(name)) return STATUS_INVALID_PARAMETER;
  std::lock_guard guard(lock_);
  return Commit([&](Store& store) {
    Store::SetValue(store.AddKey(key), name, type, std::vector<uint8_t>(data.begin(), data.end()));
    return true;
  });
}

Store Hive::Snapshot() {
  std::lock_guard guard(lock_);
  std::string ignored;
  Refresh(false, &ignored);
  return store_;
}

std::string Hive::TakeWriteError() {
  std::lock_guard guard(lock_);
  return std::exchange(write_error_, std::string());
}

void Hive::SetBeforeReplaceHook(std::function<bool()> hook) {
  std::lock_guard guard(lock_);
  before_replace_ = std::move(hook);
}

}  // namespace kscam::host::registry
