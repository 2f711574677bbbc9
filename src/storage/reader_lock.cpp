#include "storage/reader_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "storage/file.h"

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

// Whether another description holds a lock on `byte` (F_OFD_GETLK).
Result<bool> lock_held(int fd, off_t byte) {
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = byte;
  probe.l_len = 1;
  if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) {
    return OrviError::io_errno(errno);
  }
  return probe.l_type != F_UNLCK;
}

constexpr size_t kCounterSize = 4096;
constexpr size_t kCounterMagicAt = 8;
constexpr char kCounterMagic[16] = "orvi-readers";

// Maps an open counter file whose identity is `st`; null when it is not a
// whole counter (or, with `create`, cannot be made one: an empty file is
// sized and stamped).
void* map_counter(int fd, const struct stat& st, bool writable, bool create) {
  if (!S_ISREG(st.st_mode)) return nullptr;
  if (st.st_size == 0 && create) {
    if (::ftruncate(fd, kCounterSize) != 0 ||
        !pwrite_exact(fd, reinterpret_cast<const uint8_t*>(kCounterMagic),
                      sizeof kCounterMagic, kCounterMagicAt)) {
      return nullptr;
    }
  } else if (st.st_size < static_cast<off_t>(kCounterSize)) {
    return nullptr;
  }
  void* map = ::mmap(nullptr, kCounterSize,
                     writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                     fd, 0);
  if (map == MAP_FAILED) return nullptr;
  if (std::memcmp(static_cast<uint8_t*>(map) + kCounterMagicAt, kCounterMagic,
                  sizeof kCounterMagic) != 0) {
    ::munmap(map, kCounterSize);
    return nullptr;
  }
  return map;
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

// --- ChangeCounter -----------------------------------------------------------

namespace {

struct OpenedCounter {
  void* map = nullptr;
  FileId id{};
};

OpenedCounter open_counter(const std::string& db_path, bool writable,
                           bool create) {
  const std::string path = db_path + kCounterSuffix;
  int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY |
              O_NOFOLLOW | O_NONBLOCK;
  if (create) flags |= O_CREAT;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return {};
  UniqueFd owned(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return {};
  // The mapping keeps the file; the descriptor is not needed past this.
  return {map_counter(fd, st, writable, create), FileId{st.st_dev, st.st_ino}};
}

}  // namespace

std::unique_ptr<ChangeCounter> ChangeCounter::open_mapped(
    const std::string& db_path, bool writable, bool create) {
  OpenedCounter opened = open_counter(db_path, writable, create);
  if (opened.map == nullptr) return nullptr;
  return std::unique_ptr<ChangeCounter>(
      new ChangeCounter(opened.map, opened.id, writable));
}

std::shared_ptr<ChangeCounter> ChangeCounter::open_for_writer(
    const std::string& db_path) {
  return open_mapped(db_path, true, true);
}

std::unique_ptr<ChangeCounter> ChangeCounter::open_for_reader(
    const std::string& db_path) {
  return open_mapped(db_path, false, false);
}

void ChangeCounter::note_replaced(const std::string& db_path) {
  if (auto counter = open_mapped(db_path, true, false)) counter->bump();
}

ChangeCounter::~ChangeCounter() { ::munmap(word_, kCounterSize); }

bool ChangeCounter::still_named(const std::string& db_path) const {
  struct stat st;
  const std::string path = db_path + kCounterSuffix;
  return ::stat(path.c_str(), &st) == 0 &&
         FileId{st.st_dev, st.st_ino} == id_;
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

WriterGate::~WriterGate() {
  const bool live = locks_ && fd_.get() >= 0;
  fd_.close();
  if (live && counter_) counter_->bump();
}

void WriterGate::set_counter(std::shared_ptr<ChangeCounter> counter) {
  const int fd = fd_.get();
  if (!locks_ || fd < 0) return;
  // Without the counts byte readers never trust their copies while this
  // writer lives; a counter it cannot announce is not used.
  if (counter && ofd_lock(fd, F_OFD_SETLK, F_RDLCK, kCountsByte, 1) == 0) {
    counter_ = std::move(counter);
    // A writer arrived (and may have finished a commit at open): readers
    // look at the file again.
    counter_->bump();
  } else {
    ofd_lock(fd, F_OFD_SETLK, F_UNLCK, kCountsByte, 1);
    counter_.reset();
  }
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
  // No reader is in, and none gets in before leave(): a reader that loads
  // the counter from here on finds it moved before anything is written.
  if (counter_) counter_->bump();
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
  if (auto probed = lock_held(*fd, kMarkByte); !probed) {
    if (no_lock_support(probed.error().os_errno())) {
      return OrviError::io_message(
          path + ": the file system gives no open-file-description locks, "
                 "which readers beside a writer need");
    }
    return path_error(probed.error().os_errno(), path);
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
  return lock_held(fd_.get(), kMarkByte);
}

Result<bool> ReadLock::writer_counts() const {
  return lock_held(fd_.get(), kCountsByte);
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
