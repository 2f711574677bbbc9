#include "db/graphdb.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_set>

#include "db/open_files.h"

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
  auto pager = Pager::open(path);
  if (!pager) return fail(std::move(pager).error());
  if (!file_guard) {
    auto guard = guard_file(files, *canonical);
    if (!guard) return fail(std::move(guard).error());
    file_guard.emplace(std::move(*guard));
  }
  auto index = LabelIndex::build(**pager);
  if (!index) return fail(std::move(index).error());
  std::unique_ptr<GraphDB> db(
      new GraphDB(path, std::move(*pager), std::move(*index)));
  files.paths.insert(*canonical);
  files.files.emplace(file_guard->id(), *canonical);
  db->registered_path_ = *canonical;
  db->writer_lock_.emplace(std::move(*lock));
  db->file_guard_.emplace(std::move(*file_guard));
  return db;
}

void GraphDB::adopt_file_guard(FileGuard guard) {
  OpenFiles& files = registry();
  std::lock_guard<std::mutex> lock(files.mutex);
  if (file_guard_) files.files.erase(file_guard_->id());
  if (registered_path_) files.files.emplace(guard.id(), *registered_path_);
  file_guard_.emplace(std::move(guard));
}

Result<Node> GraphDB::add_node(std::vector<std::string> labels,
                               PropMap properties) {
  auto node = orvi::add_node(*pager_, std::move(labels), std::move(properties));
  if (!node) return node.error();
  label_index_.insert(node->id, node->labels);
  return node;
}

Status GraphDB::delete_node(uint64_t id) {
  // The records as stored: only labels and edge ids are needed, so no
  // property map is decoded.
  auto node = get_node(id);
  if (!node) return node.error();
  std::vector<std::string> labels;
  if (*node) labels = std::move((*node)->labels);
  std::unordered_set<uint64_t> deleted;
  auto outs = out_edges(id, std::nullopt);
  if (!outs) return outs.error();
  for (const StoredEdge& e : *outs) {
    ORVI_TRY(orvi::delete_edge(*pager_, e.id));
    deleted.insert(e.id);
  }
  auto ins = in_edges(id, std::nullopt);
  if (!ins) return ins.error();
  for (const StoredEdge& e : *ins) {
    if (!deleted.insert(e.id).second) continue;
    ORVI_TRY(orvi::delete_edge(*pager_, e.id));
  }
  if (id == 0 || id >= pager_->header().next_node_id) {
    return OrviError::node_not_found(id);
  }
  auto slot = pager_->read_node_slot(id);
  if (!slot) return slot.error();
  if (!slot->live()) return OrviError::node_not_found(id);
  slot->flags |= kFlagDeleted;
  ORVI_TRY(pager_->write_node_slot(*slot));
  if (pager_->header().node_count > 0) pager_->header().node_count -= 1;
  label_index_.remove(id, labels);
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
  auto ids = orvi::neighbors(*pager_, id, direction, label);
  if (!ids) return ids.error();
  std::vector<Node> out;
  out.reserve(ids->size());
  for (uint64_t nid : *ids) {
    auto node = orvi::get_node(*pager_, nid);
    if (!node) return node.error();
    if (*node) out.push_back(std::move(**node));
  }
  return out;
}

Result<std::vector<Node>> GraphDB::scan_nodes(
    const std::vector<std::string>& labels) {
  if (labels.empty()) return orvi::all_nodes(*pager_);
  std::vector<Node> out;
  for (uint64_t nid : label_index_.ids_for_labels(labels)) {
    auto node = orvi::get_node(*pager_, nid);
    if (!node) return node.error();
    if (*node) out.push_back(std::move(**node));
  }
  return out;
}

}  // namespace orvi
