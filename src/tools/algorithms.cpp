// The graph algorithms of orvi_tools.algorithms, in the engine module:
//   bfs(db, start, max_depth, direction, label)     -> [(id, depth), ...]
//   shortest_path(db, start, goal, direction, label) -> [id, ...] or None
//   reachable(db, node, direction, label)            -> {id, ...}
//   weakly_connected_components(db, label, progress) -> [{id, ...}, ...]
//   strongly_connected_components(db, label, progress)
//   topological_sort(db, label, progress)            -> [id, ...]
//   pagerank(db, alpha, max_iter, tol, label, progress) -> {id: score} or
//                                                       None (no convergence)
// `db` is an open orvi.GraphDB, whose pending changes are seen; ids are
// plain ints, `direction` "out", "in" or "both", `label` a str or None,
// `progress` None or progress(pass, total) -> bar (see tools.h).
//
// Everything that reads the database runs under the handle's lock (through
// with_graph), where no Python code may run: Ctrl-C is noticed there with
// PyOS_InterruptOccurred, which only reads and clears the SIGINT flag. The
// read then ends, the lock is released, and the signal is raised again so
// that Python's handler runs as it would have (KeyboardInterrupt by
// default; a handler that returns lets the read start over). Nothing is
// written, so an interrupted call leaves the database as it was. The
// whole-graph algorithms then run on their copy of the adjacency without
// the lock, where progress bars and signal handlers may run.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "query/algorithms.h"
#include "tools/tools.h"

namespace orvi::tools {

namespace {

using py::PyRef;

PyObject* orvi_class(const char* name) {
  PyRef orvi(PyImport_ImportModule("orvi"));
  return orvi ? PyObject_GetAttrString(orvi.get(), name) : nullptr;
}

bool direction_of(const char* word, Direction& out) {
  const std::string_view w(word);
  if (w == "out") {
    out = Direction::kOut;
  } else if (w == "in") {
    out = Direction::kIn;
  } else if (w == "both") {
    out = Direction::kBoth;
  } else {
    PyErr_Format(PyExc_ValueError,
                 "direction must be \"out\", \"in\" or \"both\", not \"%s\"",
                 word);
    return false;
  }
  return true;
}

std::optional<std::string_view> label_of(const char* data, Py_ssize_t size) {
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<size_t>(size));
}

// Runs read(GraphDB&, stop) under the handle's lock and returns its value;
// nullopt with a Python error set when it failed or was interrupted.
template <typename Read,
          typename R = std::invoke_result_t<Read&, GraphDB&, const StopCheck&>,
          typename T = std::decay_t<decltype(*std::declval<R&>())>>
std::optional<T> read_locked(PyObject* db, Read&& read) {
  for (;;) {
    bool interrupted = false;
    const StopCheck stop = [&] {
      interrupted = interrupted || PyOS_InterruptOccurred() != 0;
      return interrupted;
    };
    std::optional<R> result;
    if (!with_graph(db, [&](GraphDB& graph) { result.emplace(read(graph, stop)); })) {
      return std::nullopt;
    }
    if (!interrupted) {
      if (!*result) {
        raise_orvi_error(result->error());
        return std::nullopt;
      }
      return std::move(**result);
    }
    PyErr_SetInterrupt();
    if (PyErr_CheckSignals() < 0) return std::nullopt;
  }
}

// The value of a computation run with a PyProgress, or nullopt with the
// Python error set (the progress callable's, Ctrl-C's, or the core's).
template <typename T>
std::optional<T> computed(Result<T> result) {
  if (PyErr_Occurred()) return std::nullopt;
  if (!result) {
    raise_orvi_error(result.error());
    return std::nullopt;
  }
  return std::move(*result);
}

template <typename Ids>
PyObject* id_list(const Ids& ids) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLongLong(ids[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

template <typename It>
PyObject* id_set(It begin, It end) {
  PyRef set(PySet_New(nullptr));
  if (!set) return nullptr;
  for (It it = begin; it != end; ++it) {
    PyRef item(PyLong_FromUnsignedLongLong(*it));
    if (!item || PySet_Add(set.get(), item.get()) < 0) return nullptr;
  }
  return set.release();
}

PyObject* algo_bfs(PyObject*, PyObject* args) {
  PyObject* db;
  unsigned long long start, max_depth;
  const char* word;
  const char* label = nullptr;
  Py_ssize_t label_size = 0;
  if (!PyArg_ParseTuple(args, "OKKsz#", &db, &start, &max_depth, &word, &label,
                        &label_size)) {
    return nullptr;
  }
  Direction direction;
  if (!direction_of(word, direction)) return nullptr;
  auto found = read_locked(db, [&](GraphDB& graph, const StopCheck& stop) {
    return graph.walk_ids(start, max_depth, direction, label_of(label, label_size),
                          stop);
  });
  if (!found) return nullptr;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(found->size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < found->size(); ++i) {
    PyObject* pair = Py_BuildValue("(KK)", (*found)[i].first, (*found)[i].second);
    if (!pair) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

PyObject* algo_reachable(PyObject*, PyObject* args) {
  PyObject* db;
  unsigned long long node;
  const char* word;
  const char* label = nullptr;
  Py_ssize_t label_size = 0;
  if (!PyArg_ParseTuple(args, "OKsz#", &db, &node, &word, &label, &label_size)) {
    return nullptr;
  }
  Direction direction;
  if (!direction_of(word, direction)) return nullptr;
  auto found = read_locked(db, [&](GraphDB& graph, const StopCheck& stop) {
    return graph.walk_ids(node, UINT64_MAX, direction,
                          label_of(label, label_size), stop);
  });
  if (!found) return nullptr;
  PyRef set(PySet_New(nullptr));
  if (!set) return nullptr;
  for (const auto& [id, depth] : *found) {
    PyRef item(PyLong_FromUnsignedLongLong(id));
    if (!item || PySet_Add(set.get(), item.get()) < 0) return nullptr;
  }
  return set.release();
}

PyObject* algo_shortest_path(PyObject*, PyObject* args) {
  PyObject* db;
  unsigned long long start, goal;
  const char* word;
  const char* label = nullptr;
  Py_ssize_t label_size = 0;
  if (!PyArg_ParseTuple(args, "OKKsz#", &db, &start, &goal, &word, &label,
                        &label_size)) {
    return nullptr;
  }
  Direction direction;
  if (!direction_of(word, direction)) return nullptr;
  auto path = read_locked(db, [&](GraphDB& graph, const StopCheck& stop) {
    return graph.path_ids(start, goal, direction, label_of(label, label_size),
                          stop);
  });
  if (!path) return nullptr;
  if (!*path) return py::new_none();
  return id_list(**path);
}

// The adjacency of `db` read under the lock; the label and the progress
// callable are the common tail of the whole-graph functions' arguments.
struct WholeGraph {
  PyObject* progress = Py_None;
  std::optional<Adjacency> adjacency;
};

bool read_whole_graph(PyObject* db, const char* label, Py_ssize_t label_size,
                      WholeGraph& out) {
  // The read holds the lock, so its bar can only be drawn whole at its end.
  PyProgress bar(out.progress);
  if (!bar.begin("reading", 1)) return false;
  out.adjacency = read_locked(db, [&](GraphDB& graph, const StopCheck& stop) {
    return graph.read_adjacency(label_of(label, label_size), stop);
  });
  return out.adjacency && bar.advance(1);
}

PyObject* groups_to_py(const Groups& groups) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(groups.size())));
  if (!list) return nullptr;
  for (size_t g = 0; g < groups.size(); ++g) {
    PyObject* set = id_set(groups.members.begin() + groups.starts[g],
                           groups.members.begin() + groups.starts[g + 1]);
    if (!set) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(g), set);
  }
  return list.release();
}

using ComponentsFn = Result<Groups> (*)(const Adjacency&, CheckProgress*);

PyObject* components(PyObject* args, ComponentsFn fn) {
  PyObject* db;
  const char* label = nullptr;
  Py_ssize_t label_size = 0;
  WholeGraph whole;
  if (!PyArg_ParseTuple(args, "Oz#O", &db, &label, &label_size, &whole.progress) ||
      !read_whole_graph(db, label, label_size, whole)) {
    return nullptr;
  }
  PyProgress bar(whole.progress);
  auto groups = computed(fn(*whole.adjacency, &bar));
  whole.adjacency.reset();
  return groups ? groups_to_py(*groups) : nullptr;
}

PyObject* algo_wcc(PyObject*, PyObject* args) {
  return components(args, weak_components);
}

PyObject* algo_scc(PyObject*, PyObject* args) {
  return components(args, strong_components);
}

PyObject* algo_topological_sort(PyObject*, PyObject* args) {
  PyObject* db;
  const char* label = nullptr;
  Py_ssize_t label_size = 0;
  WholeGraph whole;
  if (!PyArg_ParseTuple(args, "Oz#O", &db, &label, &label_size, &whole.progress) ||
      !read_whole_graph(db, label, label_size, whole)) {
    return nullptr;
  }
  PyProgress bar(whole.progress);
  auto sorted = computed(topological_order(*whole.adjacency, &bar));
  whole.adjacency.reset();
  if (!sorted) return nullptr;
  if (sorted->cycle.empty()) return id_list(sorted->order);
  std::string names;
  for (uint32_t id : sorted->cycle) names += std::to_string(id) + " -> ";
  names += std::to_string(sorted->cycle.front());
  PyErr_Format(PyExc_ValueError,
               "the graph has a cycle, so it has no topological order: %s",
               names.c_str());
  return nullptr;
}

PyObject* algo_pagerank(PyObject*, PyObject* args) {
  PyObject* db;
  double alpha, tol;
  unsigned long long max_iter;
  const char* label = nullptr;
  Py_ssize_t label_size = 0;
  WholeGraph whole;
  if (!PyArg_ParseTuple(args, "OdKdz#O", &db, &alpha, &max_iter, &tol, &label,
                        &label_size, &whole.progress) ||
      !read_whole_graph(db, label, label_size, whole)) {
    return nullptr;
  }
  PyProgress bar(whole.progress);
  auto ranks = computed(pagerank(*whole.adjacency, alpha, max_iter, tol, &bar));
  if (!ranks) return nullptr;
  if (!*ranks) return py::new_none();
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  const std::vector<double>& x = **ranks;
  for (uint64_t u = 0; u < x.size(); ++u) {
    if (!whole.adjacency->live[u]) continue;
    PyRef key(PyLong_FromUnsignedLongLong(u));
    PyRef value(PyFloat_FromDouble(x[u]));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

PyMethodDef algorithm_methods[] = {
    {"bfs", algo_bfs, METH_VARARGS, "Breadth-first ids and depths."},
    {"shortest_path", algo_shortest_path, METH_VARARGS, "A shortest path's ids."},
    {"reachable", algo_reachable, METH_VARARGS, "Ids reachable from a node."},
    {"weakly_connected_components", algo_wcc, METH_VARARGS,
     "Weakly connected components."},
    {"strongly_connected_components", algo_scc, METH_VARARGS,
     "Strongly connected components."},
    {"topological_sort", algo_topological_sort, METH_VARARGS,
     "A topological order."},
    {"pagerank", algo_pagerank, METH_VARARGS, "PageRank by power iteration."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

std::nullptr_t raise_orvi_error(const OrviError& error) {
  PyObject* cls = nullptr;
  PyRef owned;
  const char* name = nullptr;
  switch (error.kind()) {
    case ErrorKind::kIo:
      cls = PyExc_OSError;
      break;
    case ErrorKind::kInvalidArgument:
      cls = PyExc_ValueError;
      break;
    case ErrorKind::kNodeNotFound:
      name = "NodeNotFoundError";
      break;
    case ErrorKind::kEdgeNotFound:
      name = "EdgeNotFoundError";
      break;
    case ErrorKind::kCorruptedFile:
      name = "CorruptedFileError";
      break;
    case ErrorKind::kTransactionFailed:
    case ErrorKind::kWalOverflow:
      name = "TransactionError";
      break;
    case ErrorKind::kCapacityExceeded:
      name = "CapacityExceededError";
      break;
    case ErrorKind::kMergeKeyNotFound:
      name = "MergeError";
      break;
    case ErrorKind::kAlreadyOpen:
      name = "AlreadyOpenError";
      break;
  }
  if (name != nullptr) {
    owned = PyRef(orvi_class(name));
    cls = owned.get();
    if (cls == nullptr) return nullptr;
  }
  const std::string message = error.message();
  PyRef text(PyUnicode_DecodeUTF8(message.data(),
                                  static_cast<Py_ssize_t>(message.size()),
                                  "replace"));
  if (text) PyErr_SetObject(cls, text.get());
  return nullptr;
}

int register_algorithms(PyObject* module) {
  return PyModule_AddFunctions(module, algorithm_methods);
}

}  // namespace orvi::tools
