#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "error/error.h"
#include "storage/atomic_rename.h"
#include "storage/file.h"
#include "storage/lock.h"
#include "test_util.h"

namespace orvi {
namespace {

uint64_t WallMs() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 +
         static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string ReadFile(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "<missing>";
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, n);
  close(fd);
  return out;
}

void WriteFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, text.data(), text.size()),
            static_cast<ssize_t>(text.size()));
  close(fd);
}

std::set<std::string> ListDir(const std::string& path) {
  std::set<std::string> names;
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  closedir(d);
  return names;
}

std::string OwnerJson(const std::string& pid_text) {
  return "{\n  \"pid\": " + pid_text +
         ",\n  \"created_at_unix_ms\": 1,\n  \"path\": \"/x\"\n}\n";
}

// A pid that named a process a moment ago and names none now.
pid_t DeadPid() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  int status;
  waitpid(child, &status, 0);
  return child;
}

class WriterLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/orvi_lock_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    db_ = dir_ + "/g.db";
    lock_ = db_ + ".lock";
  }
  void TearDown() override { (void)remove_dir_all(dir_); }

  // Leaves a lock directory behind as a writer that wrote `owner_text` and
  // went away would.
  void LeaveLock(const std::string& owner_text) {
    ASSERT_EQ(mkdir(lock_.c_str(), 0777), 0);
    WriteFile(Owner(), owner_text);
  }
  std::string Owner() const { return lock_ + "/owner.json"; }
  static std::string OwnerPrefix(pid_t pid) {
    return "{\n  \"pid\": " + std::to_string(pid) + ",\n";
  }

  std::string HeldDetail() const {
    return db_ + " (lock directory: " + lock_ + ")";
  }
  std::string HeldMessage() const {
    return "orvi: database file is already open for writing: " + HeldDetail() +
           ". orvi allows only a single writer per file; close the existing "
           "GraphDB handle, wait for the other writer process to exit, or "
           "retry after stale lock recovery has completed.";
  }
  void ExpectHeld(const Result<WriterLock>& r) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::kAlreadyOpen);
    EXPECT_EQ(r.error().detail(), HeldDetail());
    EXPECT_EQ(r.error().message(), HeldMessage());
  }
  // The lock was taken and owner.json now names this process.
  void ExpectOwnedByUs(const Result<WriterLock>& r) {
    ASSERT_OK(r);
    EXPECT_EQ(r->dir(), lock_);
    EXPECT_EQ(ReadFile(Owner()).rfind(OwnerPrefix(getpid()), 0), 0u);
    // Nothing of the reclaim is left beside the lock.
    EXPECT_EQ(ListDir(dir_), std::set<std::string>{"g.db.lock"});
  }

  std::string dir_, db_, lock_;
};

// --- owner.json -------------------------------------------------------------

TEST_F(WriterLockTest, OwnerFileNamesThisProcessAndEscapesThePath) {
  db_ = dir_ + "/q\"b\\s\x01" "c\x7f\xc2\x85" "d\te\xff.db";
  lock_ = db_ + ".lock";
  const uint64_t before = WallMs();
  Result<WriterLock> lock = WriterLock::acquire(db_);
  const uint64_t after = WallMs();
  ASSERT_OK(lock);

  const std::string text = ReadFile(Owner());
  const std::string head =
      "{\n  \"pid\": " + std::to_string(getpid()) +
      ",\n  \"created_at_unix_ms\": ";
  const std::string tail = ",\n  \"path\": \"" + dir_ +
                           "/q\\\"b\\\\s\\u0001c\\u007f\\u0085d\\te"
                           "\xEF\xBF\xBD.db\"\n}\n";
  ASSERT_EQ(text.substr(0, head.size()), head);
  ASSERT_GT(text.size(), head.size() + tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  const std::string ms =
      text.substr(head.size(), text.size() - head.size() - tail.size());
  ASSERT_EQ(ms.find_first_not_of("0123456789"), std::string::npos) << ms;
  EXPECT_GE(std::stoull(ms), before);
  EXPECT_LE(std::stoull(ms), after);
}

TEST(WriterLockOwnerText, ReplacesEachMaximalInvalidSubpartOnce) {
  const std::string prefix =
      "{\n  \"pid\": 7,\n  \"created_at_unix_ms\": 0,\n  \"path\": \"";
  const std::string fffd = "\xEF\xBF\xBD";
  // E0 80: E0 needs A0..BF next, so each byte is its own bad subpart.
  EXPECT_EQ(writer_lock_owner_text(7, 0, "a\xE0\x80z"),
            prefix + "a" + fffd + fffd + "z\"\n}\n");
  // A truncated three-byte sequence is one subpart.
  EXPECT_EQ(writer_lock_owner_text(7, 0, "\xE2\x82"),
            prefix + fffd + "\"\n}\n");
  // Surrogates (ED A0 80) are not UTF-8.
  EXPECT_EQ(writer_lock_owner_text(7, 0, "\xED\xA0\x80"),
            prefix + fffd + fffd + fffd + "\"\n}\n");
  // Valid multi-byte text, U+009F and U+00A0 on either side of the escaped
  // range, line feed and carriage return.
  EXPECT_EQ(
      writer_lock_owner_text(7, 0, "\xF0\x9F\x98\x80\xC2\x9F\xC2\xA0\n\r"),
            prefix + "\xF0\x9F\x98\x80\\u009f\xC2\xA0\\n\\r\"\n}\n");
}

// --- reclaiming stale locks --------------------------------------------------

TEST_F(WriterLockTest, ReclaimsLockOfPidZero) {
  LeaveLock(OwnerJson("0"));
  ExpectOwnedByUs(WriterLock::acquire(db_));
}

TEST_F(WriterLockTest, ReclaimsLockOfDeadProcess) {
  LeaveLock(OwnerJson(std::to_string(DeadPid())));
  ExpectOwnedByUs(WriterLock::acquire(db_));
}

TEST_F(WriterLockTest, PidsThatAreNegativeAsSigned32BitAreStale) {
  LeaveLock(OwnerJson("4294967295"));
  ExpectOwnedByUs(WriterLock::acquire(db_));
}

TEST_F(WriterLockTest, PidIsFoundAfterFirstKeyColonAndWhitespace) {
  LeaveLock("{\"pid\"  junk :\n\t  0, \"pid\": 1}");
  ExpectOwnedByUs(WriterLock::acquire(db_));
}

TEST_F(WriterLockTest, LeftoverFilesInStaleLockAreRemoved) {
  LeaveLock(OwnerJson("0"));
  ASSERT_EQ(mkdir((lock_ + "/sub").c_str(), 0777), 0);
  WriteFile(lock_ + "/sub/f", "x");
  // A link out of the lock directory is removed, never followed.
  WriteFile(dir_ + "/keep", "x");
  ASSERT_EQ(symlink(dir_.c_str(), (lock_ + "/link").c_str()), 0);
  Result<WriterLock> lock = WriterLock::acquire(db_);
  ASSERT_TRUE(lock.ok());
  EXPECT_EQ(ListDir(lock_), std::set<std::string>{"owner.json"});
  EXPECT_EQ(ListDir(dir_), (std::set<std::string>{"g.db.lock", "keep"}));
}

// --- refusing held locks -----------------------------------------------------

TEST_F(WriterLockTest, RefusesLockNamingThisProcess) {
  const std::string text = OwnerJson(std::to_string(getpid()));
  LeaveLock(text);
  ExpectHeld(WriterLock::acquire(db_));
  EXPECT_EQ(ReadFile(Owner()), text);
}

TEST_F(WriterLockTest, RefusesLockOfLiveProcess) {
  // pid 1 is alive; kill(1, 0) succeeds for root and fails with EPERM for
  // others, and both mean alive.
  for (const std::string& pid : {std::string("1"), std::to_string(getppid())}) {
    SCOPED_TRACE(pid);
    LeaveLock(OwnerJson(pid));
    ExpectHeld(WriterLock::acquire(db_));
    EXPECT_EQ(ReadFile(Owner()), OwnerJson(pid));
    ASSERT_TRUE(remove_dir_all(lock_).ok());
  }
}

TEST_F(WriterLockTest, RefusesMissingEmptyOrUnparsableOwnerFile) {
  const std::vector<std::string> texts = {
      "",
      "{}",
      "{\"id\": 0}",
      "{\"pid\" 0}",            // no colon after the key
      "{\"pid\": }",            // no digits
      "{\"pid\": -3}",          // a sign is not a digit
      "{\"pid\": 4294967296}",  // overflows 32 bits
      "{\"pid\": 0}\xff",       // not UTF-8
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    LeaveLock(text);
    ExpectHeld(WriterLock::acquire(db_));
    EXPECT_EQ(ReadFile(Owner()), text);
    ASSERT_TRUE(remove_dir_all(lock_).ok());
  }
  // A directory whose writer has not created owner.json yet.
  ASSERT_EQ(mkdir(lock_.c_str(), 0777), 0);
  ExpectHeld(WriterLock::acquire(db_));
  EXPECT_TRUE(Exists(lock_));
}

TEST_F(WriterLockTest, RefusesLockHeldByLiveChildProcess) {
  int ready[2], finish[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(finish, O_CLOEXEC), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    close(finish[1]);
    char ok = 0;
    {
      Result<WriterLock> lock = WriterLock::acquire(db_);
      ok = lock.ok() ? 1 : 0;
      (void)!write(ready[1], &ok, 1);
      char c;
      (void)!read(finish[0], &c, 1);  // until the parent closes its end
    }
    _exit(ok ? 0 : 1);
  }
  close(ready[1]);
  close(finish[0]);
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);

  ExpectHeld(WriterLock::acquire(db_));
  EXPECT_EQ(ReadFile(Owner()).rfind(OwnerPrefix(child), 0), 0u);

  close(finish[1]);
  int status;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(ready[0]);
  // The child's release removed the directory.
  EXPECT_FALSE(Exists(lock_));
  ExpectOwnedByUs(WriterLock::acquire(db_));
}

TEST_F(WriterLockTest, LiveOwnerIsRefusedEvenWhenItsPidReadsStale) {
  Result<WriterLock> held = WriterLock::acquire(db_);
  ASSERT_TRUE(held.ok());
  // The owner.json of a live owner now claims a pid that would be stale
  // (a recycled id looks the same): the owner's flock still protects it.
  WriteFile(Owner(), OwnerJson("0"));
  ExpectHeld(WriterLock::acquire(db_));
  EXPECT_EQ(ReadFile(Owner()), OwnerJson("0"));
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"g.db.lock"});
}

// --- the reclaim step --------------------------------------------------------

class WriterLockReclaimTest : public WriterLockTest {
 protected:
  // Opens and flocks the stale lock's owner.json, as a reclaimer that has
  // judged it does.
  UniqueFd Judge() {
    UniqueFd fd(open(Owner().c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(fd.valid());
    EXPECT_EQ(flock(fd.get(), LOCK_EX | LOCK_NB), 0);
    return fd;
  }
  std::string Reap() const { return lock_ + ".reap.1.2"; }
};

TEST_F(WriterLockReclaimTest, RemovesTheJudgedDirectory) {
  LeaveLock(OwnerJson("0"));
  UniqueFd judged = Judge();
  Result<ReclaimOutcome> r = reclaim_judged_lock(lock_, judged.get(), Reap());
  ASSERT_OK(r);
  EXPECT_EQ(*r, ReclaimOutcome::kRemoved);
  EXPECT_TRUE(ListDir(dir_).empty());
}

TEST_F(WriterLockReclaimTest, LeavesAFreshLockThatReplacedTheJudgedOne) {
  // Two reclaimers judged the same stale lock. The first removed it and a
  // new writer took the name; the second reclaimer comes late.
  LeaveLock(OwnerJson("0"));
  UniqueFd judged(open(Owner().c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(judged.valid());
  ASSERT_TRUE(remove_dir_all(lock_).ok());
  Result<WriterLock> fresh = WriterLock::acquire(db_);
  ASSERT_TRUE(fresh.ok());
  const std::string fresh_text = ReadFile(Owner());
  // The second reclaimer's flock on the removed file is free to take.
  ASSERT_EQ(flock(judged.get(), LOCK_EX | LOCK_NB), 0);

  Result<ReclaimOutcome> r = reclaim_judged_lock(lock_, judged.get(), Reap());
  ASSERT_OK(r);
  EXPECT_EQ(*r, ReclaimOutcome::kNotJudgedLock);
  EXPECT_EQ(ReadFile(Owner()), fresh_text);
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"g.db.lock"});
}

TEST_F(WriterLockReclaimTest, GoneLockIsNotAnError) {
  LeaveLock(OwnerJson("0"));
  UniqueFd judged = Judge();
  ASSERT_TRUE(remove_dir_all(lock_).ok());
  Result<ReclaimOutcome> r = reclaim_judged_lock(lock_, judged.get(), Reap());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, ReclaimOutcome::kNotJudgedLock);
  EXPECT_TRUE(ListDir(dir_).empty());
}

// --- failures ----------------------------------------------------------------

TEST_F(WriterLockTest, MissingParentDirectoryIsIo) {
  Result<WriterLock> r = WriterLock::acquire(dir_ + "/none/g.db");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(r.error().os_errno(), ENOENT);
}

TEST_F(WriterLockTest, FailedOwnerWriteRemovesTheDirectory) {
  // A file size limit of 0 makes the owner.json write fail with EFBIG in a
  // child process.
  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {0, 0};
    setrlimit(RLIMIT_FSIZE, &limit);
    Result<WriterLock> r = WriterLock::acquire(db_);
    int out[3] = {r.ok(), r.ok() ? 0 : static_cast<int>(r.error().kind()),
                  r.ok() ? 0 : r.error().os_errno()};
    (void)!write(report[1], out, sizeof out);
    _exit(0);
  }
  close(report[1]);
  int got[3] = {-1, -1, -1};
  ASSERT_EQ(read(report[0], got, sizeof got), static_cast<ssize_t>(sizeof got));
  close(report[0]);
  int status;
  waitpid(child, &status, 0);
  EXPECT_EQ(got[0], 0);
  EXPECT_EQ(got[1], static_cast<int>(ErrorKind::kIo));
  EXPECT_EQ(got[2], EFBIG);
  EXPECT_FALSE(Exists(lock_));
}

// --- release -----------------------------------------------------------------

TEST_F(WriterLockTest, ReleaseRemovesDirectoryAndAllowsReacquire) {
  {
    Result<WriterLock> first = WriterLock::acquire(db_);
    ASSERT_TRUE(first.ok());
    WriteFile(lock_ + "/extra", "left by someone");
    WriterLock moved = std::move(*first);
    EXPECT_TRUE(first->dir().empty());
    EXPECT_EQ(moved.dir(), lock_);
  }
  EXPECT_FALSE(Exists(lock_));
  Result<WriterLock> second = WriterLock::acquire(db_);
  ASSERT_TRUE(second.ok());
  second->release();
  EXPECT_TRUE(second->dir().empty());
  EXPECT_FALSE(Exists(lock_));
  second->release();  // a second release does nothing
}

TEST_F(WriterLockTest, MoveAssignmentReleasesTheOverwrittenLock) {
  Result<WriterLock> a = WriterLock::acquire(db_);
  ASSERT_TRUE(a.ok());
  const std::string other_db = dir_ + "/h.db";
  Result<WriterLock> b = WriterLock::acquire(other_db);
  ASSERT_TRUE(b.ok());
  *a = std::move(*b);
  EXPECT_FALSE(Exists(lock_));
  EXPECT_EQ(a->dir(), other_db + ".lock");
  EXPECT_TRUE(Exists(other_db + ".lock"));
}

TEST_F(WriterLockTest, ForkedCopyLeavesTheOwnersLockInPlace) {
  Result<WriterLock> lock = WriterLock::acquire(db_);
  ASSERT_TRUE(lock.ok());
  const std::string text = ReadFile(Owner());
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    lock->release();
    _exit(lock->dir().empty() ? 0 : 1);
  }
  int status;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadFile(Owner()), text);
  // The owner's flock survived the child closing its copy.
  WriteFile(Owner(), OwnerJson("0"));
  ExpectHeld(WriterLock::acquire(db_));
  lock->release();
  EXPECT_FALSE(Exists(lock_));
}

TEST_F(WriterLockTest, ReleaseFailureOnlyWarns) {
  Result<WriterLock> lock = WriterLock::acquire(db_);
  ASSERT_TRUE(lock.ok());
  // Someone removed the directory by hand meanwhile.
  ASSERT_EQ(rename(lock_.c_str(), (dir_ + "/moved").c_str()), 0);
  ::testing::internal::CaptureStderr();
  lock->release();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "orvi: warning: failed to remove writer lock directory " + lock_ +
                ": No such file or directory (os error 2)\n");
  EXPECT_TRUE(lock->dir().empty());
}

// --- racing reclaimers -------------------------------------------------------

// Counters shared by the racing processes (anonymous shared memory).
struct RaceShared {
  std::atomic<int> holders;
  std::atomic<int> overlaps;
  std::atomic<int> acquisitions;
  std::atomic<int> other_errors;
};

// Leaves a stale lock the way a crash does: a child takes the lock and is
// killed while holding it.
void LeaveLockOfKilledProcess(const std::string& db) {
  int ready[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Result<WriterLock> lock = WriterLock::acquire(db);
    char ok = lock.ok();
    (void)!write(ready[1], &ok, 1);
    for (;;) pause();
  }
  close(ready[1]);
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  close(ready[0]);
  kill(child, SIGKILL);
  int status;
  waitpid(child, &status, 0);
  ASSERT_EQ(ok, 1);
}

// One racer's turn: try the lock `tries` times; under the lock check that
// nobody else holds it and bump the counter file.
void RacerTurn(const std::string& db, const std::string& counter,
               RaceShared* shared, int tries) {
  for (int t = 0; t < tries; ++t) {
    Result<WriterLock> lock = WriterLock::acquire(db);
    if (!lock.ok()) {
      if (lock.error().kind() != ErrorKind::kAlreadyOpen) {
        shared->other_errors.fetch_add(1);
      }
      continue;
    }
    if (shared->holders.fetch_add(1) != 0) shared->overlaps.fetch_add(1);
    int fd = open(counter.c_str(), O_RDWR | O_CLOEXEC);
    uint64_t value = 0;
    (void)!pread(fd, &value, sizeof value, 0);
    sched_yield();  // widen the window another holder would need
    ++value;
    (void)!pwrite(fd, &value, sizeof value, 0);
    close(fd);
    shared->acquisitions.fetch_add(1);
    shared->holders.fetch_sub(1);
  }
}

TEST_F(WriterLockTest, RacingReclaimersNeverShareTheLock) {
  constexpr int kRacers = 4;
  constexpr int kRounds = 30;
  const std::string counter = dir_ + "/counter";
  WriteFile(counter, std::string(8, '\0'));
  void* mem = mmap(nullptr, sizeof(RaceShared), PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  RaceShared* shared = new (mem) RaceShared{};

  int done[2];
  ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
  std::vector<int> go(kRacers);
  std::vector<pid_t> racers;
  for (int i = 0; i < kRacers; ++i) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(p[1]);
      for (int j = 0; j < i; ++j) close(go[j]);  // so earlier racers see EOF
      char c;
      while (read(p[0], &c, 1) == 1) {
        RacerTurn(db_, counter, shared, 2);
        (void)!write(done[1], &c, 1);
      }
      _exit(0);
    }
    close(p[0]);
    go[i] = p[1];
    racers.push_back(child);
  }

  int rounds_left_locked = 0;
  for (int round = 0; round < kRounds; ++round) {
    LeaveLockOfKilledProcess(db_);
    const char c = 'g';
    for (int fd : go) ASSERT_EQ(write(fd, &c, 1), 1);
    for (int i = 0; i < kRacers; ++i) {
      char r;
      ASSERT_EQ(read(done[0], &r, 1), 1);
    }
    // A recycled pid can make the dead owner look alive; clear such a
    // round's lock so the next one starts from a known stale lock.
    if (Exists(lock_)) {
      ++rounds_left_locked;
      ASSERT_TRUE(remove_dir_all(lock_).ok());
    }
  }
  for (int fd : go) close(fd);
  for (pid_t pid : racers) {
    int status;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  close(done[0]);
  close(done[1]);

  EXPECT_EQ(shared->overlaps.load(), 0);
  EXPECT_EQ(shared->other_errors.load(), 0);
  uint64_t value = 0;
  const std::string bytes = ReadFile(counter);
  ASSERT_EQ(bytes.size(), sizeof value);
  memcpy(&value, bytes.data(), sizeof value);
  EXPECT_EQ(value, static_cast<uint64_t>(shared->acquisitions.load()));
  EXPECT_GE(shared->acquisitions.load(), kRounds - rounds_left_locked);
  // No reap directory or lock is left behind.
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"counter"});
  munmap(mem, sizeof(RaceShared));
}

// --- atomic_replace ----------------------------------------------------------

class AtomicReplaceTest : public WriterLockTest {};

TEST_F(AtomicReplaceTest, ReplacesExistingDestination) {
  WriteFile(dir_ + "/new", "new contents");
  WriteFile(dir_ + "/old", "old");
  ASSERT_TRUE(atomic_replace(dir_ + "/new", dir_ + "/old").ok());
  EXPECT_EQ(ReadFile(dir_ + "/old"), "new contents");
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"old"});
}

TEST_F(AtomicReplaceTest, CreatesMissingDestination) {
  WriteFile(dir_ + "/new", "x");
  ASSERT_TRUE(atomic_replace(dir_ + "/new", dir_ + "/fresh").ok());
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"fresh"});
}

TEST_F(AtomicReplaceTest, MissingSourceIsIoAndLeavesDestination) {
  WriteFile(dir_ + "/old", "old");
  Status s = atomic_replace(dir_ + "/none", dir_ + "/old");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(s.error().os_errno(), ENOENT);
  EXPECT_EQ(ReadFile(dir_ + "/old"), "old");
}

}  // namespace
}  // namespace orvi

namespace orvi {
namespace {

// The lock name only ever shows a complete lock: a writer killed at any
// moment of acquire or release leaves either no lock, a lock with its owner
// text (reclaimable once the writer is dead), or private litter that is not
// the lock.
TEST(WriterLockKilled, AKilledWriterNeverLeavesAnUnjudgeableLock) {
  char tmpl[] = "/tmp/orvi_lock_kill.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  const std::string db = dir + "/g.db";
  for (int round = 0; round < 40; ++round) {
    pid_t pid = fork();
    if (pid == 0) {
      for (;;) {
        auto lock = WriterLock::acquire(db);
        if (lock) lock->release();
      }
    }
    usleep(200 + (round * 137) % 3000);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    auto lock = WriterLock::acquire(db);
    ASSERT_TRUE(lock) << "round " << round << ": " << lock.error().message();
    lock->release();
  }
  (void)remove_dir_all(dir);
}

}  // namespace
}  // namespace orvi
