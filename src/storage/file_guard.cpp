#include "storage/file_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace orvi {

Result<FileGuard> FileGuard::open(const std::string& path) {
  // O_NONBLOCK: the path is not trusted to name a regular file, and opening
  // a FIFO must not hang.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OrviError::io_errno(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return OrviError::io_errno(err);
  }
  return FileGuard(ForkClosedFd(fd), FileId{st.st_dev, st.st_ino});
}

Result<bool> FileGuard::try_lock() {
  if (fd_.get() < 0) return OrviError::io_errno(EBADF);
  for (;;) {
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) return true;
    switch (errno) {
      case EINTR:
        continue;
      case EWOULDBLOCK:
        return false;
      case ENOLCK:
      case EOPNOTSUPP:
      case EINVAL:
      case ENOSYS:
        return true;
      default:
        return OrviError::io_errno(errno);
    }
  }
}

}  // namespace orvi
