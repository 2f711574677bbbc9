#include "storage/atomic_rename.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "storage/fault.h"
#include "storage/file.h"

namespace orvi {
namespace {

// The directory holding `path`: "." for a bare name, "/" for a name
// directly under the root. Trailing slashes of `path` are not part of its
// name.
std::string parent_dir(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  const size_t slash = path.rfind('/', end - 1);
  if (end == 0 || slash == std::string::npos) return ".";
  size_t parent_end = slash;
  while (parent_end > 0 && path[parent_end - 1] == '/') --parent_end;
  if (parent_end == 0) return "/";
  return path.substr(0, parent_end);
}

}  // namespace

Status atomic_replace(const std::string& source,
                      const std::string& destination) {
  if (int e = fault::check(fault::kRename)) return OrviError::io_errno(e);
  if (::rename(source.c_str(), destination.c_str()) != 0) {
    return OrviError::io_errno(errno);
  }
  const std::string parent = parent_dir(destination);
  int fd;
  do {
    fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OrviError::io_errno(errno);
  UniqueFd dir(fd);
  // Some file systems cannot flush a directory and say so with EINVAL;
  // there is nothing more to make durable on them.
  if (::fsync(dir.get()) != 0 && errno != EINVAL) {
    return OrviError::io_errno(errno);
  }
  return Ok();
}

}  // namespace orvi
