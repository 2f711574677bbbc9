// orvi_lock_stress: many processes race to reclaim one stale writer lock.
//
//   orvi_lock_stress [rounds] [processes] [tries]
//
// Each round a child process takes the lock of one database file and is
// killed with SIGKILL while holding it, leaving a stale lock behind. Then
// every racer process (by default more than there are cores) tries to
// acquire the lock `tries` times. A holder checks that no other racer holds
// the lock at the same moment (a counter in shared memory), that the lock
// directory still names it as owner, and increments a counter file by
// read-modify-write. At the end the counter file must equal the number of
// acquisitions (no increment lost), and the only error any racer may see
// is AlreadyOpen. Prints one summary line; exits 1 on any violation.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "error/error.h"
#include "storage/lock.h"

namespace {

using orvi::ErrorKind;
using orvi::Result;
using orvi::WriterLock;

struct Shared {
  std::atomic<int> holders;
  std::atomic<int64_t> acquisitions;
  std::atomic<int64_t> refusals;
  std::atomic<int64_t> overlaps;
  std::atomic<int64_t> lost_locks;
  std::atomic<int64_t> other_errors;
};

std::string read_file(const std::string& path) {
  std::string out;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, n);
  close(fd);
  return out;
}

bool read_byte(int fd, char* c) {
  ssize_t n;
  do {
    n = read(fd, c, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1;
}

bool write_byte(int fd, char c) {
  ssize_t n;
  do {
    n = write(fd, &c, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1;
}

// The work done while holding the lock.
void hold(const std::string& lock_dir, const std::string& counter,
          Shared* shared) {
  if (shared->holders.fetch_add(1) != 0) shared->overlaps.fetch_add(1);
  const int fd = open(counter.c_str(), O_RDWR | O_CLOEXEC);
  uint64_t value = 0;
  if (fd < 0 || pread(fd, &value, sizeof value, 0) != sizeof value) {
    std::fprintf(stderr, "orvi_lock_stress: cannot read counter file\n");
    _exit(2);
  }
  // Give a second holder, if the lock allowed one, time to interleave.
  for (int i = 0; i < 3; ++i) sched_yield();
  ++value;
  // The lock directory must still be this holder's: a racer that renamed a
  // live lock away would leave another process's owner.json, or none.
  const std::string prefix =
      "{\n  \"pid\": " + std::to_string(getpid()) + ",\n";
  if (read_file(lock_dir + "/owner.json").rfind(prefix, 0) != 0) {
    shared->lost_locks.fetch_add(1);
  }
  if (pwrite(fd, &value, sizeof value, 0) != sizeof value) {
    std::fprintf(stderr, "orvi_lock_stress: cannot write counter file\n");
    _exit(2);
  }
  close(fd);
  shared->acquisitions.fetch_add(1);
  shared->holders.fetch_sub(1);
}

void racer_turn(const std::string& db, const std::string& counter,
                Shared* shared, int tries) {
  for (int t = 0; t < tries; ++t) {
    Result<WriterLock> lock = WriterLock::acquire(db);
    if (lock) {
      hold(lock->dir(), counter, shared);
      continue;  // the lock is released here
    }
    if (lock.error().kind() == ErrorKind::kAlreadyOpen) {
      shared->refusals.fetch_add(1);
    } else {
      shared->other_errors.fetch_add(1);
      std::fprintf(stderr, "orvi_lock_stress: racer %d: %s\n",
                   static_cast<int>(getpid()),
                   lock.error().message().c_str());
    }
  }
}

// Takes the lock in a child and kills the child while it holds it.
bool leave_stale_lock(const std::string& db) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return false;
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    Result<WriterLock> lock = WriterLock::acquire(db);
    write_byte(ready[1], lock ? 1 : 0);
    for (;;) pause();
  }
  close(ready[1]);
  char ok = 0;
  const bool got = read_byte(ready[0], &ok);
  close(ready[0]);
  kill(child, SIGKILL);
  int status;
  waitpid(child, &status, 0);
  return got && ok == 1;
}

int parse_arg(int argc, char** argv, int index, int fallback) {
  if (argc <= index) return fallback;
  char* end = nullptr;
  const long v = std::strtol(argv[index], &end, 10);
  if (*end != '\0' || v <= 0 || v > 1000000) {
    std::fprintf(stderr,
                 "usage: orvi_lock_stress [rounds] [processes] [tries]\n");
    std::exit(64);
  }
  return static_cast<int>(v);
}

}  // namespace

int main(int argc, char** argv) {
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  const int rounds = parse_arg(argc, argv, 1, 500);
  // More racers than cores, so that racers are preempted mid-reclaim.
  const int processes =
      parse_arg(argc, argv, 2, cores * 2 + 2 > 6 ? cores * 2 + 2 : 6);
  const int tries = parse_arg(argc, argv, 3, 3);

  char tmpl[] = "/tmp/orvi_lock_stress.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    std::perror("orvi_lock_stress: mkdtemp");
    return 2;
  }
  const std::string dir = tmpl;
  const std::string db = dir + "/stress.db";
  const std::string lock_dir = db + ".lock";
  const std::string counter = dir + "/counter";
  {
    const int fd = open(counter.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const uint64_t zero = 0;
    if (fd < 0 || write(fd, &zero, sizeof zero) != sizeof zero) {
      std::perror("orvi_lock_stress: counter file");
      return 2;
    }
    close(fd);
  }

  void* mem = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) {
    std::perror("orvi_lock_stress: mmap");
    return 2;
  }
  Shared* shared = new (mem) Shared{};

  int done[2];
  if (pipe2(done, O_CLOEXEC) != 0) return 2;
  std::vector<int> go;
  std::vector<pid_t> racers;
  for (int i = 0; i < processes; ++i) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return 2;
    const pid_t child = fork();
    if (child < 0) {
      std::perror("orvi_lock_stress: fork");
      return 2;
    }
    if (child == 0) {
      close(p[1]);
      for (int fd : go) close(fd);  // so earlier racers see end of input
      close(done[0]);
      char c;
      while (read_byte(p[0], &c)) {
        racer_turn(db, counter, shared, tries);
        if (!write_byte(done[1], c)) _exit(2);
      }
      _exit(0);
    }
    close(p[0]);
    go.push_back(p[1]);
    racers.push_back(child);
  }

  int64_t reclaimed_rounds = 0, unreclaimed_rounds = 0, setup_failures = 0;
  for (int round = 0; round < rounds; ++round) {
    if (!leave_stale_lock(db)) {
      ++setup_failures;
      break;
    }
    const int64_t before = shared->acquisitions.load();
    for (int fd : go) write_byte(fd, 'g');
    for (int i = 0; i < processes; ++i) {
      char c;
      if (!read_byte(done[0], &c)) {
        std::fprintf(stderr, "orvi_lock_stress: a racer died\n");
        return 1;
      }
    }
    if (shared->acquisitions.load() > before) {
      ++reclaimed_rounds;
    } else {
      // The dead owner's pid was recycled by a live process, so everyone
      // rightly refused. Clear the lock so the next round starts clean.
      ++unreclaimed_rounds;
    }
    struct stat st;
    if (lstat(lock_dir.c_str(), &st) == 0) {
      (void)orvi::remove_dir_all(lock_dir);
    }
  }
  for (int fd : go) close(fd);
  for (pid_t pid : racers) {
    int status;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++setup_failures;
  }

  uint64_t value = 0;
  const std::string bytes = read_file(counter);
  if (bytes.size() == sizeof value) {
    std::memcpy(&value, bytes.data(), sizeof value);
  }
  const int64_t acquisitions = shared->acquisitions.load();
  const int64_t lost_increments = acquisitions - static_cast<int64_t>(value);
  const int64_t overlaps = shared->overlaps.load();
  const int64_t lost_locks = shared->lost_locks.load();
  const int64_t other_errors = shared->other_errors.load();
  // Everything the racers made must be gone: no lock, no reap directory.
  int64_t leftovers = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == ".." || name == "counter") continue;
      std::fprintf(stderr, "orvi_lock_stress: left behind: %s\n", e->d_name);
      ++leftovers;
    }
    closedir(d);
  }
  (void)orvi::remove_dir_all(dir);

  const bool ok = overlaps == 0 && lost_locks == 0 && lost_increments == 0 &&
                  other_errors == 0 && setup_failures == 0 &&
                  reclaimed_rounds > 0 && leftovers == 0;
  std::printf(
      "orvi_lock_stress: processes=%d rounds=%d tries=%d acquisitions=%lld "
      "refusals=%lld reclaimed_rounds=%lld unreclaimed_rounds=%lld "
      "overlaps=%lld lost_locks=%lld lost_increments=%lld other_errors=%lld "
      "leftovers=%lld setup_failures=%lld result=%s\n",
      processes, rounds, tries, static_cast<long long>(acquisitions),
      static_cast<long long>(shared->refusals.load()),
      static_cast<long long>(reclaimed_rounds),
      static_cast<long long>(unreclaimed_rounds),
      static_cast<long long>(overlaps), static_cast<long long>(lost_locks),
      static_cast<long long>(lost_increments),
      static_cast<long long>(other_errors), static_cast<long long>(leftovers),
      static_cast<long long>(setup_failures), ok ? "ok" : "FAILED");
  munmap(mem, sizeof(Shared));
  return ok ? 0 : 1;
}
