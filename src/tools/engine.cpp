// orvi_tools._engine: the engine as the command-line tools see it.
//
// `orvi info`, `orvi check`, the exporters and the import read database
// files through this module, never through a reading of the format of
// their own. It is private to orvi_tools and built from the same core as
// the orvi module:
//   open(path) -> File      the file opened read-only, without the writer
//                           lock (Pager::open_read_only): a pending commit
//                           is judged as orvi.open judges it and replayed
//                           in memory only; the file is never written.
//                           The readers' shared lock is held until close,
//                           so a writer's commit waits and nothing read is
//                           torn (a writer of this process breaks it; the
//                           File then raises RuntimeError).
//   File.header(), .pending_commit(), .chain(kind), .property_bytes(),
//   .node_slot(id), .edge_slot(id), .check(progress), .close()
//   lock_state(path)        the writer lock, judged without taking it
//   clear_stale_lock(path)  removes a lock left by a process that died
//   builder(path)           the graph builder on a private file (builder.cpp)
//   open_reader(path)       a Reader beside the file's writer (reader.cpp)
//   decode_tagged(value, error, properties)
//                           the tagged JSON values of the exchange formats
//                           read back (tagged_value.cpp)
//   pending_pages(db)       the pages an open orvi.GraphDB has changed
//                           since its last commit, from its core handle
//   LAYOUT                  the file layout's and the codec's sizes and
//                           offsets
// Errors: FormatError (with the engine's text) for damage that stops a
// read, OSError for a file that cannot be opened or read.
//
// An orvi.GraphDB is reached only through the orvi module's C interface
// (python/capi.h), never through the object's layout: with_graph below
// is the one place that takes an open handle, for pending_pages and the
// graph algorithms (algorithms.cpp).
//
// The module lives in src/tools, apart from the binding in src/python: it
// is a second extension module, linked with its own copy of the core, that
// depends on the orvi module only through that interface.
#include "python/pyref.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <memory>
#include <new>
#include <optional>
#include <iterator>
#include <string>

#include "graph/check.h"
#include "python/capi.h"
#include "tools/tools.h"
#include "storage/lock.h"
#include "storage/pager.h"
#include "storage/reader_lock.h"
#include "storage/prop_codec.h"
#include "storage/wal.h"
#include "tools/engine.h"

namespace orvi::tools {

namespace {

using py::PyRef;

PyObject* g_format_error = nullptr;  // orvi_tools._engine.FormatError

}  // namespace

// Sets the Python error for a core error: OSError for Io, FormatError for
// everything else.
std::nullptr_t raise(const OrviError& error, const std::string& path) {
  if (error.kind() == ErrorKind::kIo && error.os_errno() != 0) {
    errno = error.os_errno();
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  } else if (error.kind() == ErrorKind::kIo) {
    PyErr_SetString(PyExc_OSError, (path + ": " + error.detail()).c_str());
  } else {
    PyErr_SetString(g_format_error, error.detail().c_str());
  }
  return nullptr;
}

namespace {

PyObject* u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// A dict from name/value pairs; nullptr with an error set on failure.
using Item = std::pair<const char*, PyObject*>;

PyObject* dict_of(std::initializer_list<Item> items) {
  PyRef dict(PyDict_New());
  bool ok = static_cast<bool>(dict);
  for (const auto& [key, value] : items) {
    PyRef owned(value);
    if (ok && (!owned ||
               PyDict_SetItemString(dict.get(), key, owned.get()) < 0)) {
      ok = false;
    }
  }
  return ok ? dict.release() : nullptr;
}

bool kind_of(const char* word, ExtentKind& out) {
  for (ExtentKind kind :
       {ExtentKind::kNode, ExtentKind::kEdge, ExtentKind::kProp}) {
    if (std::string(word) == extent_kind_word(kind)) {
      out = kind;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "unknown extent kind '%s'", word);
  return false;
}

// --- File --------------------------------------------------------------------

// The shared lock of the readers' protocol (storage/reader_lock.h), held
// while a File is open so that a writer's commit cannot tear what it
// reads. A writer of this process breaks it instead of waiting; the File
// then refuses further reads.
struct HeldLock {
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  explicit HeldLock(ReadLock lock) : lock(std::move(lock)) {}
  ~HeldLock() {
    if (token != 0) unregister_snapshot(token);
    lock.unlock_shared();
  }
  static void breaker(void* context) {
    auto* self = static_cast<HeldLock*>(context);
    self->token = 0;
    self->broken = true;
    self->lock.unlock_shared();
  }
  ReadLock lock;
  uint64_t token = 0;
  bool broken = false;
};

struct FileState {
  std::string path;
  std::unique_ptr<Pager> pager;  // null once closed
  std::optional<OrviError> log_error;
  std::unique_ptr<HeldLock> held;  // absent where readers cannot lock
};

// The C++ state is constructed in place after tp_alloc and destroyed in
// tp_dealloc.
struct PyFile {
  PyObject_HEAD
  FileState state;
};

FileState& state_of(PyObject* obj) {
  return reinterpret_cast<PyFile*>(obj)->state;
}

PyTypeObject* g_file_type = nullptr;

Pager* open_pager(FileState& self) {
  if (!self.pager) {
    PyErr_SetString(PyExc_ValueError, "the file is closed");
    return nullptr;
  }
  if (self.held && self.held->broken) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this process wrote the database file while it was "
                    "being read; open it again");
    return nullptr;
  }
  return self.pager.get();
}

void file_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  state_of(obj).~FileState();
  type->tp_free(obj);
  Py_DECREF(type);
}

PyObject* file_header(PyObject* obj, PyObject*) {
  Pager* pager = open_pager(state_of(obj));
  if (!pager) return nullptr;
  const FileHeader& h = pager->header();
  const std::string format = std::to_string(kFormatVersionMajor) + "." +
                             std::to_string(kFormatVersionMinor);
  return dict_of({{"format", PyUnicode_FromString(format.c_str())},
                  {"node_count", u64(h.node_count)},
                  {"edge_count", u64(h.edge_count)},
                  {"next_node_id", u64(h.next_node_id)},
                  {"next_edge_id", u64(h.next_edge_id)},
                  {"node_index_head", u64(h.node_index_head)},
                  {"edge_index_head", u64(h.edge_index_head)},
                  {"prop_index_head", u64(h.prop_index_head)},
                  {"prop_tail", u64(h.prop_tail)},
                  {"wal_length", u64(h.wal_length)}});
}

// None when no commit was pending at open; otherwise its log length, the
// pages replayed (in memory) and the error that makes opening fail, if any.
PyObject* file_pending_commit(PyObject* obj, PyObject*) {
  FileState& self = state_of(obj);
  Pager* pager = open_pager(self);
  if (!pager) return nullptr;
  const RecoveredLog& log = pager->recovered_log();
  if (log.length == 0) return py::new_none();
  PyObject* problem =
      self.log_error ? PyUnicode_FromString(self.log_error->detail().c_str())
                     : py::new_none();
  return dict_of({{"length", u64(log.length)},
                  {"pages", u64(log.pages)},
                  {"complete", py::new_bool(log.replayed)},
                  {"problem", problem}});
}

PyObject* file_chain(PyObject* obj, PyObject* arg) {
  FileState& self = state_of(obj);
  Pager* pager = open_pager(self);
  const char* word = PyUnicode_AsUTF8(arg);
  ExtentKind kind;
  if (!pager || !word || !kind_of(word, kind)) return nullptr;
  const FileHeader& h = pager->header();
  const uint64_t head = kind == ExtentKind::kNode   ? h.node_index_head
                        : kind == ExtentKind::kEdge ? h.edge_index_head
                                                    : h.prop_index_head;
  auto walk = pager->walk_chain(head, kind);
  if (!walk) return raise(walk.error(), self.path);
  return dict_of({{"extents", int_list(walk->extents)},
                  {"index_pages", int_list(walk->index_pages)}});
}

// Bytes of property storage in use: the full extents before the last one
// and the last one up to prop_tail.
PyObject* file_property_bytes(PyObject* obj, PyObject*) {
  FileState& self = state_of(obj);
  Pager* pager = open_pager(self);
  if (!pager) return nullptr;
  auto walk =
      pager->walk_chain(pager->header().prop_index_head, ExtentKind::kProp);
  if (!walk) return raise(walk.error(), self.path);
  const uint64_t tail = pager->header().prop_tail;
  if (walk->extents.empty() || tail == 0) return u64(0);
  return u64((walk->extents.size() - 1) * kExtentSize +
             (tail - walk->extents.back()));
}

// Slots are read where the loaded extent chains put them.
bool slot_id(PyObject* arg, uint64_t& id) {
  id = PyLong_AsUnsignedLongLong(arg);
  if (PyErr_Occurred()) return false;
  if (id == 0) {
    PyErr_SetString(PyExc_ValueError, "ids start at 1");
    return false;
  }
  return true;
}

// The dict of a slot's fields by name: with `slot` their values, without
// one each field's byte offset in the slot; `offset`, when given, is the
// slot's own file offset.
template <typename Slot>
PyObject* slot_dict(const Slot* slot,
                    std::optional<uint64_t> offset = std::nullopt) {
  constexpr bool kNode = std::is_same_v<Slot, NodeSlot>;
  PyRef dict(PyDict_New());
  bool ok = dict.get() != nullptr;
  auto add = [&](const char* name, uint64_t value) {
    PyRef v(ok ? u64(value) : nullptr);
    ok = v && PyDict_SetItemString(dict.get(), name, v.get()) == 0;
  };
  if (offset) add("offset", *offset);
  auto field = [&](const char* name, size_t at, auto value) {
    add(name, slot ? uint64_t{value} : at);
  };
  const Slot blank;
  if constexpr (kNode) {
    node_slot_fields(slot ? *slot : blank, field);
  } else {
    edge_slot_fields(slot ? *slot : blank, field);
  }
  return ok ? dict.release() : nullptr;
}

template <typename Slot>
PyObject* file_slot(PyObject* obj, PyObject* arg) {
  FileState& self = state_of(obj);
  Pager* pager = open_pager(self);
  uint64_t id;
  if (!pager || !slot_id(arg, id)) return nullptr;
  auto offset = pager->slot_offset(kSlotKind<Slot>, id);
  if (!offset) return raise(offset.error(), self.path);
  auto s = pager->read_slot<Slot>(id);
  if (!s) return raise(s.error(), self.path);
  return slot_dict(&*s, *offset);
}

PyObject* file_check(PyObject* obj, PyObject* progress) {
  FileState& self = state_of(obj);
  Pager* pager = open_pager(self);
  if (!pager) return nullptr;
  Result<CheckReport> report = [&] {
    PyProgress sink(progress);
    return check_integrity(*pager, &sink);
  }();
  if (PyErr_Occurred()) return nullptr;
  if (!report) return raise(report.error(), self.path);
  PyRef problems(PyList_New(0));
  if (!problems) return nullptr;
  for (const CheckProblem& p : report->problems) {
    PyRef item(Py_BuildValue("(ssO)", p.where.c_str(), p.message.c_str(),
                             p.repairable ? Py_True : Py_False));
    if (!item || PyList_Append(problems.get(), item.get()) < 0) return nullptr;
  }
  return dict_of({{"problems", problems.release()},
                  {"live_nodes", u64(report->live_nodes)},
                  {"live_edges", u64(report->live_edges)},
                  {"blobs_decoded", u64(report->blobs_decoded)},
                  {"lists_walked", u64(report->lists_walked)}});
}

PyObject* file_close(PyObject* obj, PyObject*) {
  state_of(obj).pager.reset();
  state_of(obj).held.reset();
  return py::new_none();
}

PyObject* file_enter(PyObject* obj, PyObject*) {
  Py_INCREF(obj);
  return obj;
}

PyObject* file_exit(PyObject* obj, PyObject*) {
  return file_close(obj, nullptr);
}

PyMethodDef file_methods[] = {
    {"header", file_header, METH_NOARGS, "The header's counters and heads."},
    {"pending_commit", file_pending_commit, METH_NOARGS,
     "The commit found pending at open, or None."},
    {"property_bytes", file_property_bytes, METH_NOARGS,
     "Bytes of property storage in use."},
    {"chain", file_chain, METH_O, "One kind's extents and index pages."},
    {"node_slot", file_slot<NodeSlot>, METH_O, "A node slot as stored."},
    {"edge_slot", file_slot<EdgeSlot>, METH_O, "An edge slot as stored."},
    {"check", file_check, METH_O, "The integrity check."},
    {"close", file_close, METH_NOARGS, "Closes the file."},
    {"__enter__", file_enter, METH_NOARGS, nullptr},
    {"__exit__", file_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot file_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(file_dealloc)},
    {Py_tp_methods, file_methods},
    {0, nullptr}};

// Only open() makes File objects. Interpreters before 3.10 lack the flag;
// there engine_exec clears tp_new instead, which refuses calls the same way.
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned kFileFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned kFileFlags = Py_TPFLAGS_DEFAULT;
#endif

PyType_Spec file_spec = {"orvi_tools._engine.File", sizeof(PyFile), 0,
                         kFileFlags, file_slots};

// --- module functions -----------------------------------------------------

}  // namespace

// A str or path-like argument as file-system bytes.
bool path_of(PyObject* arg, std::string& out) {
  PyObject* raw = nullptr;
  if (!PyUnicode_FSConverter(arg, &raw)) return false;
  PyRef bytes(raw);
  out.assign(PyBytes_AS_STRING(raw),
             static_cast<size_t>(PyBytes_GET_SIZE(raw)));
  return true;
}

namespace {

// The shared lock on the file now at `path`, held, or null where the
// file system cannot lock or a writer that takes no part holds the file
// (the file is then read as before, without a lock).
std::unique_ptr<HeldLock> hold_read_lock(const std::string& path) {
  auto lock = ReadLock::open(path);
  if (!lock || !lock->lock_shared()) return nullptr;
  auto held = std::make_unique<HeldLock>(std::move(*lock));
  auto marked = held->lock.writer_marked();
  if (!marked) return nullptr;
  char real[PATH_MAX];
  if (!*marked && ::realpath(path.c_str(), real) != nullptr) {
    const WriterLockState state = inspect_writer_lock(real);
    if (state.present && state.alive != false) return nullptr;
  }
  held->token = register_snapshot(held->lock.id(), &HeldLock::breaker,
                                  held.get());
  return held;
}

bool same_file(const std::string& path, const HeldLock& held) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 &&
         FileId{st.st_dev, st.st_ino} == held.lock.id();
}

PyObject* engine_open(PyObject*, PyObject* arg) {
  std::string path;
  if (!path_of(arg, path)) return nullptr;
  std::unique_ptr<HeldLock> held = hold_read_lock(path);
  auto opened = Pager::open_read_only(path);
  // A replace between the lock and the open: lock the new file.
  if (opened && held && !same_file(path, *held)) {
    held = hold_read_lock(path);
    opened = Pager::open_read_only(path);
    if (opened && held && !same_file(path, *held)) held.reset();
  }
  if (!opened) return raise(opened.error(), path);
  PyObject* obj = g_file_type->tp_alloc(g_file_type, 0);
  if (!obj) return nullptr;
  new (&state_of(obj)) FileState{path, std::move(opened->pager),
                                 std::move(opened->log_error),
                                 std::move(held)};
  return obj;
}

PyObject* engine_lock_state(PyObject*, PyObject* arg) {
  std::string path;
  if (!path_of(arg, path)) return nullptr;
  // Writers name the lock after the canonical path of the file.
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real) != nullptr) path = real;
  const WriterLockState state = inspect_writer_lock(path);
  return dict_of({{"directory", PyUnicode_DecodeFSDefault(state.dir.c_str())},
                  {"present", py::new_bool(state.present)},
                  {"pid", state.pid ? u64(*state.pid) : py::new_none()},
                  {"alive", state.alive ? py::new_bool(*state.alive)
                                       : py::new_none()}});
}

// Takes the writer lock of `path` the way an open takes it (a lock whose
// owner died is reclaimed safely against racing openers) and releases it
// at once, so no lock directory is left. False, changing nothing, when a
// live process holds the lock or its directory names no owner.
PyObject* engine_clear_stale_lock(PyObject*, PyObject* arg) {
  std::string path;
  if (!path_of(arg, path)) return nullptr;
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real) != nullptr) path = real;
  auto lock = WriterLock::acquire(path);
  if (!lock) {
    if (lock.error().kind() == ErrorKind::kAlreadyOpen) return py::new_bool(false);
    return raise(lock.error(), path);
  }
  lock->release();
  return py::new_bool(true);
}

PyObject* engine_pending_pages(PyObject*, PyObject* db) {
  size_t pages = 0;
  if (!with_graph(db, [&](GraphDB& graph) { pages = graph.dirty_pages(); })) {
    return nullptr;
  }
  return PyLong_FromSize_t(pages);
}

PyObject* engine_release_pages(PyObject*, PyObject* db) {
  if (!with_graph(db, [](GraphDB& graph) { graph.release_mapped_pages(); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// After a file was put at a database's name: its readers look again.
PyObject* engine_note_replaced(PyObject*, PyObject* arg) {
  std::string path;
  if (!path_of(arg, path)) return nullptr;
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real) != nullptr) {
    ChangeCounter::note_replaced(real);
  }
  Py_RETURN_NONE;
}

PyMethodDef engine_methods[] = {
    {"open", engine_open, METH_O, "Opens a database file read-only."},
    {"lock_state", engine_lock_state, METH_O, "The writer lock of a database."},
    {"clear_stale_lock", engine_clear_stale_lock, METH_O,
     "Removes the writer lock of a database unless a live process holds it."},
    {"builder", engine_builder, METH_O, "Opens a private file for building."},
    {"open_reader", engine_open_reader, METH_O,
     "open_reader(path)\n--\n\nA Reader on an existing database file."},
    {"pending_pages", engine_pending_pages, METH_O,
     "Pages an open orvi.GraphDB has changed since its last commit."},
    {"note_replaced", engine_note_replaced, METH_O,
     "Tells the readers of a database file that another file took its "
     "name."},
    {"release_pages", engine_release_pages, METH_O,
     "Drops the file pages an open orvi.GraphDB's reads have mapped into the "
     "process; for scans that have passed them."},
    {nullptr, nullptr, 0, nullptr}};

// A dict of name -> offset for the header's fields.
PyObject* fields_of(const SlotField* fields, size_t count) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    PyRef offset(u64(fields[i].offset));
    if (!offset ||
        PyDict_SetItemString(dict.get(), fields[i].name, offset.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

// LAYOUT: the file layout's sizes and offsets and the codec's sizes, for
// Python code and tests that size or patch files, so that they ask the
// engine instead of copying its numbers. The codec's sizes are measured on
// the codec itself.
PyObject* layout_dict() {
  const size_t tag = encoded_size(PropValue());
  return dict_of({
      {"page_size", u64(kPageSize)},
      {"header_size", u64(kHeaderSize)},
      {"wal_offset", u64(kWalOffset)},
      {"wal_reserved", u64(kWalReserved)},
      {"wal_page_entry", u64(kWalPageEntry)},
      {"data_start", u64(kDataStart)},
      {"extent_size", u64(kExtentSize)},
      {"slot_page_header", u64(kSlotPageHeader)},
      {"node_slot_size", u64(kNodeSlotSize)},
      {"nodes_per_page", u64(kNodesPerPage)},
      {"nodes_per_extent", u64(kNodesPerExtent)},
      {"edge_slot_size", u64(kEdgeSlotSize)},
      {"edges_per_page", u64(kEdgesPerPage)},
      {"edges_per_extent", u64(kEdgesPerExtent)},
      {"max_blob_len", u64(kMaxBlobLen)},
      {"header_fields", fields_of(kHeaderFields, std::size(kHeaderFields))},
      {"node_fields", slot_dict<NodeSlot>(nullptr)},
      {"edge_fields", slot_dict<EdgeSlot>(nullptr)},
      {"codec_tag", u64(tag)},
      {"codec_length",
       u64(encoded_size(PropValue::from_string(std::string())) - tag)},
      {"codec_number", u64(encoded_size(PropValue::from_int(0)) - tag)},
      {"codec_bool", u64(encoded_size(PropValue::from_bool(false)) - tag)},
  });
}

int engine_exec(PyObject* module) {
  if (g_file_type == nullptr) {
    g_file_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&file_spec));
    if (g_file_type == nullptr) return -1;
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    g_file_type->tp_new = nullptr;
#endif
  }
  if (g_format_error == nullptr) {
    g_format_error = PyErr_NewExceptionWithDoc(
        "orvi_tools._engine.FormatError",
        "The file does not follow the format; the message says where.",
        nullptr, nullptr);
    if (g_format_error == nullptr) return -1;
  }
  if (py::add_to_module(module, "LAYOUT", PyRef(layout_dict())) < 0) {
    return -1;
  }
  PyObject* file_type = reinterpret_cast<PyObject*>(g_file_type);
  if (py::add_to_module(module, "File", PyRef::borrow(file_type)) < 0) {
    return -1;
  }
  if (py::add_to_module(module, "FormatError", PyRef::borrow(g_format_error)) <
      0) {
    return -1;
  }
  if (register_reader(module) < 0) return -1;
  if (register_tagged_values(module) < 0) return -1;
  return register_algorithms(module);
}

PyModuleDef_Slot engine_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(engine_exec)}, {0, nullptr}};

PyModuleDef engine_module = {PyModuleDef_HEAD_INIT,
                             "orvi_tools._engine",
                             "The orvi engine, read-only, for the tools.",
                             0,
                             engine_methods,
                             engine_slots,
                             nullptr,
                             nullptr,
                             nullptr};

}  // namespace

// The one place that reaches into the orvi.GraphDB object's layout.
const OrviCApi* orvi_capi() { return orvi_import_capi(2); }

bool with_graph(PyObject* db, const std::function<void(GraphDB&)>& core) {
  const OrviCApi* api = orvi_capi();
  if (api == nullptr) return false;
  if (api->graphdb_size != sizeof(GraphDB)) {
    PyErr_SetString(PyExc_RuntimeError,
                    "orvi_tools was built with another orvi module");
    return false;
  }
  // Sets the binding's own exception for a closed, poisoned, re-entered or
  // detached handle, and TypeError for anything but an orvi.GraphDB.
  void* graph = api->acquire_graphdb(db);
  if (graph == nullptr) return false;
  try {
    core(*static_cast<GraphDB*>(graph));
  } catch (...) {
    api->release_graphdb(db);
    throw;
  }
  api->release_graphdb(db);
  return true;
}

}  // namespace orvi::tools

PyMODINIT_FUNC PyInit__engine() {
  return PyModuleDef_Init(&orvi::tools::engine_module);
}
