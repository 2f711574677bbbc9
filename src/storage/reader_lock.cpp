#include "storage/reader_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <utility>

namespace orvi {

namespace {

// One fcntl lock request; EINTR is retried (a waiting request restarts).
int ofd_lock(int fd, int cmd, short type, off_t start, off_t len) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;
  int rc;
  do {
    rc = ::fcntl(fd, cmd, &fl);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// errno values that mean "this file system gives no OFD locks".
bool no_lock_support(int err) {
  return err == EINVAL || err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS;
}

// The file systems whose byte-range locks are emulated or remote.
const char* network_file_system(long type) {
  switch (static_cast<unsigned long>(type)) {
    case 0x6969UL:
      return "NFS";
    case 0x517BUL:
    case 0xFF534D42UL:
    case 0xFE534D42UL:
      return "SMB/CIFS";
    case 0x01021997UL:
      return "9P";
    case 0x65735546UL:
      return "FUSE";
    case 0x5346414FUL:
      return "AFS";
    case 0x00C36400UL:
      return "Ceph";
    case 0x73757245UL:
      return "Coda";
    default:
      return nullptr;
  }
}

Result<int> open_file(const std::string& path, int flags) {
  int fd;
  // O_NONBLOCK: the path is not trusted to name a regular file, and
  // opening a FIFO must not hang.
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return path_error(errno, path);
  return fd;
}

Result<FileId> identity(int fd, const std::string& path) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return path_error(errno, path);
  if (!S_ISREG(st.st_mode)) {
    return OrviError::io_message(path + ": not a regular file");
  }
  return FileId{st.st_dev, st.st_ino};
}

// --- snapshot registry ------------------------------------------------------

struct Registered {
  FileId id;
  SnapshotBreaker breaker;
  void* context;
};

struct Registry {
  std::mutex mutex;
  uint64_t next_token = 1;
  std::map<uint64_t, Registered> snapshots;
  SnapshotRegistryHooks hooks{};
};

// Never destroyed: snapshots may be dropped during interpreter shutdown.
Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

}  // namespace

OrviError path_error(int err, const std::string& path) {
  return OrviError::io_with_errno(err, path + ": " + std::strerror(err));
}

// --- WriterGate ---------------------------------------------------------------

Result<std::shared_ptr<WriterGate>> WriterGate::open(const std::string& path) {
  auto fd = open_file(path, O_RDWR);
  if (!fd) return fd.error();
  ForkClosedFd owned(*fd);
  auto id = identity(*fd, path);
  if (!id) return id.error();
  bool locks = true;
  if (ofd_lock(*fd, F_OFD_SETLK, F_RDLCK, kMarkByte, 1) != 0) {
    if (!no_lock_support(errno)) return path_error(errno, path);
    locks = false;
  }
  return std::shared_ptr<WriterGate>(
      new WriterGate(std::move(owned), *id, locks));
}

Status WriterGate::enter() {
  if (depth_++ > 0) return Ok();
  const int fd = fd_.get();
  if (!locks_ || fd < 0) return Ok();
  if (ofd_lock(fd, F_OFD_SETLKW, F_WRLCK, kPendingByte, 1) != 0) {
    const int err = errno;
    depth_ = 0;
    return OrviError::io_errno(err);
  }
  break_snapshots(id_);
  if (ofd_lock(fd, F_OFD_SETLKW, F_WRLCK, kSharedByte, 1) != 0) {
    const int err = errno;
    ofd_lock(fd, F_OFD_SETLK, F_UNLCK, kPendingByte, 1);
    depth_ = 0;
    return OrviError::io_errno(err);
  }
  return Ok();
}

void WriterGate::leave() {
  if (depth_ == 0 || --depth_ > 0) return;
  const int fd = fd_.get();
  if (!locks_ || fd < 0) return;
  // Unlocking cannot fail on a valid descriptor with a valid range.
  ofd_lock(fd, F_OFD_SETLK, F_UNLCK, kPendingByte, 2);
}

Status WriterGate::renew_epoch() {
  const int fd = fd_.get();
  if (!locks_ || fd < 0) return Ok();
  uint64_t epoch = 0;
  // /dev/urandom rather than getrandom(2), which the oldest C libraries the
  // wheels are built against do not declare.
  const int random = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  const bool drawn =
      random >= 0 &&
      ::read(random, &epoch, sizeof epoch) == static_cast<ssize_t>(sizeof epoch);
  if (random >= 0) ::close(random);
  if (!drawn) {
    // Without the kernel's generator: the clock and the process, distinct
    // enough from any earlier epoch of this file.
    struct timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    epoch = (uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec)) ^
            (uint64_t(::getpid()) << 40);
  }
  if (epoch == 0) epoch = 1;
  if (::fsetxattr(fd, kEpochAttribute, &epoch, sizeof epoch, 0) == 0 ||
      errno == ENOTSUP) {
    return Ok();
  }
  return OrviError::io_errno(errno);
}

// --- ReadLock -----------------------------------------------------------------

std::optional<uint64_t> ReadLock::epoch() const {
  uint64_t value = 0;
  const ssize_t n = ::fgetxattr(fd_.get(), kEpochAttribute, &value, sizeof value);
  if (n == static_cast<ssize_t>(sizeof value)) return value;
  if (n < 0 && errno == ENODATA) return 0;
  return std::nullopt;
}

Result<ReadLock> ReadLock::open(const std::string& path) {
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return fd.error();
  ForkClosedFd owned(*fd);
  auto id = identity(*fd, path);
  if (!id) return id.error();
  struct statfs fs;
  if (::fstatfs(*fd, &fs) != 0) return path_error(errno, path);
  if (const char* name = network_file_system(fs.f_type)) {
    return OrviError::io_message(
        path + ": readers beside a writer need a local file system; this "
               "file is on " + name +
        ", whose byte-range locks cannot be trusted");
  }
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = kMarkByte;
  probe.l_len = 1;
  if (::fcntl(*fd, F_OFD_GETLK, &probe) != 0) {
    if (no_lock_support(errno)) {
      return OrviError::io_message(
          path + ": the file system gives no open-file-description locks, "
                 "which readers beside a writer need");
    }
    return path_error(errno, path);
  }
  return ReadLock(std::move(owned), *id);
}

Status ReadLock::lock_shared() {
  const int fd = fd_.get();
  if (ofd_lock(fd, F_OFD_SETLKW, F_RDLCK, kPendingByte, 2) != 0) {
    return OrviError::io_errno(errno);
  }
  ofd_lock(fd, F_OFD_SETLK, F_UNLCK, kPendingByte, 1);
  return Ok();
}

void ReadLock::unlock_shared() {
  const int fd = fd_.get();
  if (fd >= 0) ofd_lock(fd, F_OFD_SETLK, F_UNLCK, kSharedByte, 1);
}

Result<bool> ReadLock::writer_marked() const {
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = kMarkByte;
  probe.l_len = 1;
  if (::fcntl(fd_.get(), F_OFD_GETLK, &probe) != 0) {
    return OrviError::io_errno(errno);
  }
  return probe.l_type != F_UNLCK;
}

Result<uint64_t> ReadLock::length() const {
  struct stat st;
  if (::fstat(fd_.get(), &st) != 0) return OrviError::io_errno(errno);
  return static_cast<uint64_t>(st.st_size);
}

// --- snapshot registry ----------------------------------------------------------

uint64_t register_snapshot(const FileId& id, SnapshotBreaker breaker,
                           void* context) {
  Registry& r = registry();
  if (r.hooks.register_snapshot != nullptr) {
    return r.hooks.register_snapshot(static_cast<uint64_t>(id.dev),
                                     static_cast<uint64_t>(id.ino), breaker,
                                     context);
  }
  std::lock_guard<std::mutex> guard(r.mutex);
  const uint64_t token = r.next_token++;
  r.snapshots.emplace(token, Registered{id, breaker, context});
  return token;
}

void unregister_snapshot(uint64_t token) {
  Registry& r = registry();
  if (r.hooks.unregister_snapshot != nullptr) {
    r.hooks.unregister_snapshot(token);
    return;
  }
  std::lock_guard<std::mutex> guard(r.mutex);
  r.snapshots.erase(token);
}

void break_snapshots(const FileId& id) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  for (auto it = r.snapshots.begin(); it != r.snapshots.end();) {
    if (it->second.id == id) {
      it->second.breaker(it->second.context);
      it = r.snapshots.erase(it);
    } else {
      ++it;
    }
  }
}

void set_snapshot_registry_hooks(const SnapshotRegistryHooks& hooks) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.hooks = hooks;
}

}  // namespace orvi
