#include "storage/lock.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/text.h"

namespace orvi {
namespace {

// Bounds the reclaim loop when several processes reclaim at once.
constexpr int kMaxAcquireAttempts = 4;
constexpr const char* kOwnerFileName = "owner.json";

uint64_t now_unix_ms() {
  struct timespec ts;
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000 +
         static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

bool is_unicode_whitespace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Appends `path` as the body of a JSON string: invalid UTF-8 becomes U+FFFD;
// quote and backslash are backslash-escaped; tab, line feed and carriage
// return use their short escapes; the other C0 controls and U+007F..U+009F
// become \u00xx with lowercase hex; everything else is copied as UTF-8.
void append_json_escaped(std::string& out, std::string_view path) {
  std::optional<char32_t> cp;
  for (size_t i = 0; i < path.size();) {
    const size_t len = decode_utf8(path, i, &cp);
    if (!cp) {
      out += "\xEF\xBF\xBD";
    } else if (*cp == '"' || *cp == '\\') {
      out += '\\';
      out += static_cast<char>(*cp);
    } else if (*cp == '\t') {
      out += "\\t";
    } else if (*cp == '\n') {
      out += "\\n";
    } else if (*cp == '\r') {
      out += "\\r";
    } else if (*cp < 0x20 || (*cp >= 0x7F && *cp <= 0x9F)) {
      out += "\\u" + hex(*cp, 4);
    } else {
      out.append(path.substr(i, len));
    }
    i += len;
  }
}

// --- owner.json -------------------------------------------------------------

// The owner's pid: the digits after the first "\"pid\"" key, its next colon
// and any whitespace, as an unsigned 32-bit number. nullopt when any step
// fails (no key, no colon, no digits, overflow).
std::optional<uint32_t> parse_owner_pid(std::string_view text) {
  const size_t key = text.find("\"pid\"");
  if (key == std::string_view::npos) return std::nullopt;
  const size_t colon = text.find(':', key + 5);
  if (colon == std::string_view::npos) return std::nullopt;
  size_t i = colon + 1;
  std::optional<char32_t> cp;
  while (i < text.size()) {
    const size_t len = decode_utf8(text, i, &cp);
    if (!cp || !is_unicode_whitespace(*cp)) break;
    i += len;
  }
  uint64_t value = 0;
  size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// Reads the whole file open as `fd`.
bool read_all(int fd, std::string* out) {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
  }
}

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int flock_retrying(int fd, int op) {
  int rc;
  do {
    rc = ::flock(fd, op);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// Whether `path` names the same file as `st` (device and inode).
bool names_file(const std::string& path, const struct stat& st) {
  struct stat now;
  if (::stat(path.c_str(), &now) != 0) return false;
  return now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

std::string held_detail(const std::string& db_path,
                        const std::string& lock_dir) {
  return db_path + " (lock directory: " + lock_dir + ")";
}

// Looks at an existing lock directory. Returns the owner.json descriptor,
// flocked exclusively, when the lock is stale; nullopt when it must be
// treated as held: owner.json unreadable or unparsable, the owner is this
// process or alive, or a live process of ours holds the flock.
std::optional<UniqueFd> open_if_stale(const std::string& lock_dir) {
  const std::string owner_path = lock_dir + "/" + kOwnerFileName;
  // O_NONBLOCK: the directory is not trusted to hold a regular file, and
  // opening a FIFO must not hang the open.
  UniqueFd fd(open_retrying(owner_path.c_str(),
                            O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return std::nullopt;
  std::string text;
  if (!read_all(fd.get(), &text) || !is_valid_utf8(text)) return std::nullopt;
  const std::optional<uint32_t> pid = parse_owner_pid(text);
  if (!pid) return std::nullopt;
  if (*pid == static_cast<uint32_t>(::getpid())) return std::nullopt;
  const int32_t signed_pid = static_cast<int32_t>(*pid);
  if (signed_pid > 0) {
    // Success or any failure other than ESRCH (EPERM: the process exists
    // but belongs to someone else) means the owner is alive.
    if (::kill(signed_pid, 0) == 0 || errno != ESRCH) return std::nullopt;
  }
  // The pid says stale. Our own owners hold this flock for their whole
  // life (a dead owner's flock went with its process), so failing to take
  // it means a live process of ours owns the lock and the pid is stale
  // only by appearance (a recycled or hand-written id).
  if (flock_retrying(fd.get(), LOCK_EX | LOCK_NB) != 0) return std::nullopt;
  return fd;
}

// Creates, flocks and fills owner.json in the freshly made lock directory.
// On failure the directory is removed again (while the flock is still held,
// so no reclaimer can meanwhile judge it) and the error returned.
Result<UniqueFd> write_owner(const std::string& db_path,
                             const std::string& lock_dir) {
  const std::string owner_path = lock_dir + "/" + kOwnerFileName;
  UniqueFd fd(open_retrying(owner_path.c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  std::optional<OrviError> write_error;
  if (!fd.valid()) {
    write_error = OrviError::io_errno(errno);
  } else if (flock_retrying(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    // The flock comes before the text: a reader that finds the file empty
    // or cut short treats the lock as held or fails to take the flock, and
    // once the text is complete the flock is there. A reclaimer flocks only
    // a file whose text it has read, so nobody holds this new file's flock
    // and the call does not need to wait.
    write_error = OrviError::io_errno(errno);
  } else {
    const std::string text = writer_lock_owner_text(
        static_cast<uint32_t>(::getpid()), now_unix_ms(), db_path);
    Status written = pwrite_exact(
        fd.get(), reinterpret_cast<const uint8_t*>(text.data()), text.size(),
        0);
    if (written) return fd;
    write_error = std::move(written).error();
  }

  Status removed = remove_dir_all(lock_dir);
  fd = UniqueFd();
  if (removed) return std::move(*write_error);
  const OrviError& cleanup = removed.error();
  return OrviError::io_with_errno(
      cleanup.os_errno(),
      "failed to write lock owner metadata for " + db_path +
          " and failed to remove partially-created lock directory " +
          lock_dir + ": original error: " + write_error->message() +
          "; cleanup error: " + cleanup.detail());
}

// --- recursive removal ------------------------------------------------------

Status remove_entry_at(int parent_fd, const char* name);

// Removes every entry inside the directory open as `dir_fd`.
Status remove_children(int dir_fd) {
  // fdopendir takes over its descriptor, so hand it a duplicate.
  const int dup_fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (dup_fd < 0) return OrviError::io_errno(errno);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(dup_fd), &::closedir);
  if (!dir) {
    const int err = errno;
    ::close(dup_fd);
    return OrviError::io_errno(err);
  }
  // Collect the names first: removing entries while reading the directory
  // may make some file systems skip entries.
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return OrviError::io_errno(errno);
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  for (const std::string& name : names) {
    ORVI_TRY(remove_entry_at(dir_fd, name.c_str()));
  }
  return Ok();
}

Status remove_entry_at(int parent_fd, const char* name) {
  struct stat st;
  if (::fstatat(parent_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? Ok() : Status(OrviError::io_errno(errno));
  }
  if (!S_ISDIR(st.st_mode)) {
    if (::unlinkat(parent_fd, name, 0) != 0 && errno != ENOENT) {
      return OrviError::io_errno(errno);
    }
    return Ok();
  }
  UniqueFd sub(::openat(parent_fd, name,
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!sub.valid()) {
    return errno == ENOENT ? Ok() : Status(OrviError::io_errno(errno));
  }
  ORVI_TRY(remove_children(sub.get()));
  sub = UniqueFd();
  if (::unlinkat(parent_fd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
    return OrviError::io_errno(errno);
  }
  return Ok();
}

}  // namespace

Status remove_dir_all(const std::string& path) {
  UniqueFd dir(open_retrying(path.c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.valid()) return OrviError::io_errno(errno);
  ORVI_TRY(remove_children(dir.get()));
  dir = UniqueFd();
  if (::rmdir(path.c_str()) != 0) return OrviError::io_errno(errno);
  return Ok();
}

std::string writer_lock_owner_text(uint32_t pid, uint64_t created_at_unix_ms,
                                   const std::string& db_path) {
  std::string text = "{\n  \"pid\": " + std::to_string(pid) +
                     ",\n  \"created_at_unix_ms\": " +
                     std::to_string(created_at_unix_ms) + ",\n  \"path\": \"";
  append_json_escaped(text, db_path);
  text += "\"\n}\n";
  return text;
}

Result<ReclaimOutcome> reclaim_judged_lock(const std::string& lock_dir,
                                           int judged_fd,
                                           const std::string& reap_dir) {
  struct stat judged;
  if (::fstat(judged_fd, &judged) != 0) return OrviError::io_errno(errno);
  // The caller's flock keeps every process of ours from moving the
  // directory that holds the judged file while it sits at the lock name.
  // If it no longer sits there, another reclaimer got to it first and the
  // name may now belong to a live owner: leave it alone.
  if (!names_file(lock_dir + "/" + kOwnerFileName, judged)) {
    return ReclaimOutcome::kNotJudgedLock;
  }
  if (::rename(lock_dir.c_str(), reap_dir.c_str()) != 0) {
    if (errno == ENOENT || errno == EEXIST) {
      return ReclaimOutcome::kNotJudgedLock;
    }
    return OrviError::io_errno(errno);
  }
  if (names_file(reap_dir + "/" + kOwnerFileName, judged)) {
    ORVI_TRY(remove_dir_all(reap_dir));
    return ReclaimOutcome::kRemoved;
  }
  // Only a process that renames lock directories without this flock can
  // get here. Return what was caught, but never over a directory that took
  // the name meanwhile: that one has an owner too.
  int rc = ::renameat2(AT_FDCWD, reap_dir.c_str(), AT_FDCWD, lock_dir.c_str(),
                       RENAME_NOREPLACE);
  if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
    // The file system cannot refuse to replace; a plain rename still
    // refuses a non-empty target.
    rc = ::rename(reap_dir.c_str(), lock_dir.c_str());
  }
  if (rc != 0 && errno != EEXIST && errno != ENOTEMPTY) {
    return OrviError::io_errno(errno);
  }
  return ReclaimOutcome::kPutBack;
}

WriterLockState inspect_writer_lock(const std::string& db_path) {
  WriterLockState state;
  state.dir = db_path + ".lock";
  struct stat st;
  if (::stat(state.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return state;
  state.present = true;
  const std::string owner_path = state.dir + "/" + kOwnerFileName;
  UniqueFd fd(open_retrying(owner_path.c_str(),
                            O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  std::string text;
  if (!fd.valid() || !read_all(fd.get(), &text) || !is_valid_utf8(text)) {
    return state;
  }
  state.pid = parse_owner_pid(text);
  if (!state.pid) return state;
  const int32_t signed_pid = static_cast<int32_t>(*state.pid);
  state.alive =
      signed_pid > 0 && (::kill(signed_pid, 0) == 0 || errno != ESRCH);
  return state;
}

Result<WriterLock> WriterLock::acquire(const std::string& db_path) {
  const std::string lock_dir = db_path + ".lock";
  bool atomic_create = true;
  for (int attempt = 0; attempt < kMaxAcquireAttempts; ++attempt) {
    if (atomic_create) {
      // The lock directory is built complete under a private name and moved
      // into place in one step, so the lock name never shows a directory
      // without its owner.json: a process killed while taking the lock
      // leaves at most the private directory, never a lock that nobody can
      // judge stale.
      const std::string init_dir = lock_dir + ".init." +
                                   std::to_string(::getpid()) + "." +
                                   std::to_string(now_unix_ms());
      if (::mkdir(init_dir.c_str(), 0777) != 0) return OrviError::io_errno(errno);
      Result<UniqueFd> owner = write_owner(db_path, init_dir);
      if (!owner) return std::move(owner).error();
      if (::renameat2(AT_FDCWD, init_dir.c_str(), AT_FDCWD, lock_dir.c_str(),
                      RENAME_NOREPLACE) == 0) {
        return WriterLock(lock_dir, std::move(*owner), ::getpid());
      }
      const int err = errno;
      (void)remove_dir_all(init_dir);
      if (err == EINVAL || err == ENOSYS) {
        // The file system cannot move without replacing: create the lock
        // directory in place instead.
        atomic_create = false;
        --attempt;
        continue;
      }
      if (err != EEXIST) return OrviError::io_errno(err);
    } else if (::mkdir(lock_dir.c_str(), 0777) == 0) {
      Result<UniqueFd> owner = write_owner(db_path, lock_dir);
      if (!owner) return std::move(owner).error();
      return WriterLock(lock_dir, std::move(*owner), ::getpid());
    } else if (errno != EEXIST) {
      return OrviError::io_errno(errno);
    }

    std::optional<UniqueFd> stale = open_if_stale(lock_dir);
    if (!stale) {
      return OrviError::already_open(held_detail(db_path, lock_dir));
    }

    // The reap name is unique among concurrent reclaimers: the pid tells
    // processes apart, and one process reclaims one lock at a time.
    const std::string reap_dir = lock_dir + ".reap." +
                                 std::to_string(::getpid()) + "." +
                                 std::to_string(now_unix_ms());
    Result<ReclaimOutcome> reclaimed =
        reclaim_judged_lock(lock_dir, stale->get(), reap_dir);
    if (!reclaimed) return std::move(reclaimed).error();
    // Every outcome counts as an attempt; the flock on the judged file is
    // dropped only now, after its directory is gone.
  }
  return OrviError::already_open(
      db_path + " (lock directory: " + lock_dir +
      "; another process may be reclaiming a stale lock)");
}

WriterLock::WriterLock(WriterLock&& other) noexcept
    : dir_(std::exchange(other.dir_, std::string())),
      owner_fd_(std::move(other.owner_fd_)),
      owner_pid_(other.owner_pid_) {}

WriterLock& WriterLock::operator=(WriterLock&& other) noexcept {
  if (this != &other) {
    release();
    dir_ = std::exchange(other.dir_, std::string());
    owner_fd_ = std::move(other.owner_fd_);
    owner_pid_ = other.owner_pid_;
  }
  return *this;
}

WriterLock::~WriterLock() { release(); }

void WriterLock::release() {
  if (dir_.empty()) return;
  if (::getpid() != owner_pid_) {
    // A forked copy. Closing the inherited descriptor leaves the flock to
    // the owner, whose descriptor shares it; removing the directory would
    // let a second writer in while the owner still writes.
    owner_fd_ = UniqueFd();
    dir_.clear();
    return;
  }
  // The directory goes first and the flock last: while the flock is held
  // no reclaimer of ours can rename the directory out from under us. It
  // leaves the lock name in one step (renamed to a reap name, then removed),
  // so a process killed while releasing never leaves a half-removed lock.
  const std::string reap_dir = dir_ + ".reap." + std::to_string(::getpid()) +
                               "." + std::to_string(now_unix_ms());
  const bool moved = ::rename(dir_.c_str(), reap_dir.c_str()) == 0;
  const std::string& doomed = moved ? reap_dir : dir_;
  Status removed = remove_dir_all(doomed);
  if (!removed) {
    const std::string line = "orvi: warning: failed to remove writer lock "
                             "directory " +
                             doomed + ": " + removed.error().detail() + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
  owner_fd_ = UniqueFd();
  dir_.clear();
}

}  // namespace orvi
