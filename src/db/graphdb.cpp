#include "db/graphdb.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>


#include "db/open_files.h"
#include "graph/vacuum.h"
#include "storage/atomic_rename.h"

namespace orvi {

namespace {

Result<std::string> real_path(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return OrviError::io_errno(errno);
  return std::string(buf);
}

// The absolute path with symbolic links and "." / ".." resolved. A file
// that does not exist yet is named through its canonical parent directory;
// a dangling symbolic link is followed to the file it will create, so the
// registry, the writer lock and vacuum all name the real file.
Result<std::string> canonical_db_path(const std::string& path, int depth = 0) {
  char buf[PATH_MAX];
  if (!path.empty() && ::realpath(path.c_str(), buf) != nullptr) {
    return std::string(buf);
  }
  if (!path.empty() && errno != ENOENT) return OrviError::io_errno(errno);
  struct stat st;
  if (!path.empty() && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (depth >= 40) return OrviError::io_errno(ELOOP);
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n < 0) return OrviError::io_errno(errno);
    std::string target(buf, static_cast<size_t>(n));
    if (target.empty() || target[0] != '/') {
      size_t slash = path.rfind('/');
      if (slash != std::string::npos) target = path.substr(0, slash + 1) + target;
    }
    return canonical_db_path(target, depth + 1);
  }
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  size_t slash = trimmed.rfind('/');
  std::string name =
      slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    return OrviError::invalid_argument("database path has no file name: " +
                                       path);
  }
  std::string parent;
  if (slash == std::string::npos) {
    parent = ".";
  } else if (slash == 0) {
    parent = "/";
  } else {
    parent = trimmed.substr(0, slash);
  }
  auto real_parent = real_path(parent);
  if (!real_parent) return real_parent.error();
  if (*real_parent == "/") return "/" + name;
  return *real_parent + "/" + name;
}

// The guard on the file at `canonical`, locked. AlreadyOpen when the file
// is open already under another name: in this process the registry knows
// which, another process holds the lock.
Result<FileGuard> guard_file(const OpenFiles& files,
                             const std::string& canonical) {
  auto guard = FileGuard::open(canonical);
  if (!guard) return guard.error();
  auto held = files.files.find(guard->id());
  if (held != files.files.end()) {
    return OrviError::already_open(canonical + " (the same file as " +
                                   held->second + ")");
  }
  auto locked = guard->try_lock();
  if (!locked) return locked.error();
  if (!*locked) {
    return OrviError::already_open(
        canonical +
        " (the file is locked by another handle, which may have opened it "
        "under another name)");
  }
  return guard;
}

}  // namespace

GraphDB::GraphDB(std::string path, std::unique_ptr<Pager> pager,
                 LabelIndex label_index)
    : path_(std::move(path)),
      pager_(std::move(pager)),
      label_index_(std::move(label_index)) {}

GraphDB::~GraphDB() {
  if (registered_path_) {
    OpenFiles& files = registry();
    std::lock_guard<std::mutex> guard(files.mutex);
    files.paths.erase(*registered_path_);
    if (file_guard_) files.files.erase(file_guard_->id());
    registered_path_.reset();
  }
  file_guard_.reset();
  if (writer_lock_) {
    writer_lock_->release();
    writer_lock_.reset();
  }
  pager_.reset();
  gate_.reset();
}

Result<std::unique_ptr<GraphDB>> GraphDB::open(const std::string& path) {
  if (path == ":memory:") {
    auto pager = Pager::open(path);
    if (!pager) return pager.error();
    auto index = LabelIndex::build(**pager);
    if (!index) return index.error();
    return std::unique_ptr<GraphDB>(
        new GraphDB(path, std::move(*pager), std::move(*index)));
  }
  OpenFiles& files = registry();
  std::lock_guard<std::mutex> guard(files.mutex);
  auto canonical = canonical_db_path(path);
  if (!canonical) return canonical.error();
  if (files.paths.count(*canonical)) return OrviError::already_open(*canonical);
  // The writer mark goes up before the lock directory exists, so that a
  // reader never finds this writer's directory without it. A file that
  // does not exist yet is marked once the pager has created it.
  std::shared_ptr<WriterGate> gate;
  if (auto early = WriterGate::open(*canonical)) gate = std::move(*early);
  auto lock = WriterLock::acquire(*canonical);
  if (!lock) return lock.error();
  std::optional<FileGuard> file_guard;
  // The guard goes first, so that another process may find the file free
  // as soon as the lock directory is gone.
  const auto fail = [&](OrviError err) -> OrviError {
    file_guard.reset();
    lock->release();
    return err;
  };
  const std::string tmp = *canonical + ".tmp";
  if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) {
    return fail(OrviError::io_errno(errno));
  }
  // An existing file is guarded before the pager opens it: opening may
  // replay an interrupted commit into it. A new file has no other name
  // yet; it is guarded as soon as the pager has created it.
  {
    auto guard = guard_file(files, *canonical);
    if (guard) {
      file_guard.emplace(std::move(*guard));
    } else if (guard.error().kind() != ErrorKind::kIo ||
               guard.error().os_errno() != ENOENT) {
      return fail(std::move(guard).error());
    }
  }
  auto pager = Pager::open(path, gate);
  if (!pager) return fail(std::move(pager).error());
  if (!gate) {
    auto late = WriterGate::open(*canonical);
    if (!late) return fail(std::move(late).error());
    gate = std::move(*late);
    (*pager)->set_gate(gate);
  }
  if (!file_guard) {
    auto guard = guard_file(files, *canonical);
    if (!guard) return fail(std::move(guard).error());
    file_guard.emplace(std::move(*guard));
  }
  auto index = LabelIndex::build(**pager);
  if (!index) return fail(std::move(index).error());
  // Readers keep their copies of the file only while its writer bumps this
  // counter; without one (a read-only directory, say) they never trust
  // them.
  gate->set_counter(ChangeCounter::open_for_writer(*canonical));
  std::unique_ptr<GraphDB> db(
      new GraphDB(path, std::move(*pager), std::move(*index)));
  files.paths.insert(*canonical);
  files.files.emplace(file_guard->id(), *canonical);
  db->registered_path_ = *canonical;
  db->writer_lock_.emplace(std::move(*lock));
  db->file_guard_.emplace(std::move(*file_guard));
  db->gate_ = std::move(gate);
  return db;
}

void GraphDB::adopt_file_guard(FileGuard guard) {
  OpenFiles& files = registry();
  std::lock_guard<std::mutex> lock(files.mutex);
  if (file_guard_) files.files.erase(file_guard_->id());
  if (registered_path_) files.files.emplace(guard.id(), *registered_path_);
  file_guard_.emplace(std::move(guard));
}

Result<Node> GraphDB::add_node(const std::vector<std::string>& labels,
                               const PropMap& properties) {
  auto node = orvi::add_node(*pager_, labels, properties);
  if (!node) return node.error();
  label_index_.insert(*node);
  return node;
}

Status GraphDB::delete_node(uint64_t id) {
  Node node;
  auto found = read_node(id, node);
  if (!found) return found.error();
  ORVI_TRY(orvi::delete_node(*pager_, id));
  if (*found) label_index_.remove(node);
  return Ok();
}

Status GraphDB::clear() {
  ORVI_TRY(pager_->clear_to_empty());
  label_index_ = LabelIndex();
  return Ok();
}

Status GraphDB::rollback() {
  in_transaction_ = false;
  ORVI_TRY(pager_->rollback());
  auto index = LabelIndex::build(*pager_);
  if (!index) return index.error();
  label_index_ = std::move(*index);
  return Ok();
}

Result<std::vector<Node>> GraphDB::neighbors(
    uint64_t id, std::optional<std::string_view> label, Direction direction) {
  return neighbor_nodes(*pager_, id, direction, label);
}

namespace {

const char kInTransaction[] =
    "vacuum() cannot run inside an explicit transaction; commit or rollback "
    "the transaction first";

// The error a handle keeps when it could not reopen its database after the
// rename step; every later call is refused with it.
OrviError detach_error(const Status& replaced, const OrviError& reopen) {
  std::string text;
  if (replaced) {
    text = "vacuum replaced the database file but could not reopen it (" +
           reopen.message() + ")";
  } else {
    text = "vacuum could not replace the database file (" +
           replaced.error().message() + ") and could not reopen it (" +
           reopen.message() + ")";
  }
  return OrviError::transaction_failed(
      text +
      "; close this handle and reopen the database with orvi.open(path)");
}

}  // namespace

Status GraphDB::vacuum() {
  // A detached handle holds only the empty placeholder store: compacting it
  // would replace the database file with an empty database.
  if (detached_) return *detached_;
  if (in_transaction_) return OrviError::transaction_failed(kInTransaction);

  if (pager_->is_memory()) {
    auto fresh = vacuum_in_memory(*pager_);
    if (!fresh) return fresh.error();
    pager_ = std::move(*fresh);
    return Ok();
  }

  const std::string db_path = registered_path_ ? *registered_path_ : path_;
  auto tmp = build_file_vacuum_tmp(*pager_, db_path);
  if (!tmp) return tmp.error();

  // The rebuilt file is guarded before it takes the database's name, so
  // that the file at that name is never unguarded.
  std::optional<FileGuard> new_guard;
  if (file_guard_) {
    auto guard = FileGuard::open(*tmp);
    Result<bool> locked =
        guard ? guard->try_lock() : Result<bool>(guard.error());
    if (!locked || !*locked) {
      ::unlink(tmp->c_str());
      if (!locked) return locked.error();
      return OrviError::already_open(*tmp);
    }
    new_guard.emplace(std::move(*guard));
  }

  // Marked before it takes the name, for the same reason as at open.
  auto new_gate = WriterGate::open(*tmp);
  if (!new_gate) {
    ::unlink(tmp->c_str());
    return new_gate.error();
  }
  (*new_gate)->set_counter(gate_ ? gate_->counter() : nullptr);

  auto placeholder = Pager::open(":memory:");
  if (!placeholder) {
    ::unlink(tmp->c_str());
    return placeholder.error();
  }
  // Dropping the old pager closes the database file before the rename.
  pager_ = std::move(*placeholder);
  Status replaced = atomic_replace(*tmp, db_path);
  if (!replaced) {
    ::unlink(tmp->c_str());
  } else {
    // Readers of the old file keep a state that never changes again and
    // move to the new one at their next read.
    gate_ = std::move(*new_gate);
    gate_->note_replaced();
    if (new_guard) adopt_file_guard(std::move(*new_guard));
  }
  new_guard.reset();

  auto reopened = Pager::open(db_path, gate_);
  if (!reopened) {
    detached_ = detach_error(replaced, reopened.error());
    return *detached_;
  }
  pager_ = std::move(*reopened);
  // Vacuum keeps every node and label, so the index held so far still
  // describes the file; a failed rebuild keeps it and reports the error.
  auto index = LabelIndex::build(*pager_);
  if (!index) return index.error();
  label_index_ = std::move(*index);
  return replaced;
}

Result<std::vector<Node>> GraphDB::query_nodes(
    const std::vector<std::string>& labels, std::optional<Window> window) {
  return orvi::query_nodes(*pager_, label_index_, labels, window);
}

Result<std::vector<Edge>> GraphDB::query_edges(
    const std::vector<std::string>& labels, std::optional<Window> window) {
  return orvi::query_edges(*pager_, labels, window);
}

}  // namespace orvi
