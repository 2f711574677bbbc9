// The graph algorithms of orvi_tools.algorithms, in the engine module:
//   bfs(db, start, max_depth, direction, label)     -> [(id, depth), ...]
//   shortest_path(db, start, goal, direction, label) -> [id, ...] or None
//   reachable(db, node, direction, label)            -> {id, ...}
//   weakly_connected_components(db, label, progress) -> [{id, ...}, ...]
//   strongly_connected_components(db, label, progress)
//   topological_sort(db, label, progress)            -> [id, ...]
//   pagerank(db, label, progress, alpha, max_iter, tol) -> {id: score} or
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

#include "python/frame.h"
#include "query/algorithms.h"
#include "tools/tools.h"

namespace orvi::tools {

namespace {

using py::PyRef;

bool direction_of(const char* word, Direction& out) {
  const std::optional<Direction> named = direction_named(word);
  if (!named) {
    PyErr_Format(PyExc_ValueError,
                 "direction must be \"out\", \"in\" or \"both\", not \"%s\"",
                 word);
    return false;
  }
  out = *named;
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
    const auto run = [&](GraphDB& graph) { result.emplace(read(graph, stop)); };
    if (!with_graph(db, run)) return std::nullopt;
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

// The arguments of the walks: (db, id, [id,] direction, label).
struct WalkArgs {
  PyObject* db = nullptr;
  unsigned long long first = 0;
  unsigned long long second = 0;
  Direction direction = Direction::kOut;
  const char* label = nullptr;
  Py_ssize_t label_size = 0;

  bool parse(PyObject* args, bool two_ids) {
    const char* word = nullptr;
    const bool parsed =
        two_ids ? PyArg_ParseTuple(args, "OKKsz#", &db, &first, &second, &word,
                                   &label, &label_size)
                : PyArg_ParseTuple(args, "OKsz#", &db, &first, &word, &label,
                                   &label_size);
    return parsed && direction_of(word, direction);
  }
  std::optional<std::string_view> edge_label() const {
    return label_of(label, label_size);
  }
};

// The walk of bfs and reachable: (id, depth) pairs.
std::optional<std::vector<std::pair<uint64_t, uint64_t>>> walk(
    const WalkArgs& w, uint64_t max_depth) {
  return read_locked(w.db, [&](GraphDB& graph, const StopCheck& stop) {
    return graph.walk_ids(w.first, max_depth, w.direction, w.edge_label(),
                          stop);
  });
}

PyObject* algo_bfs(PyObject*, PyObject* args) {
  return py::guarded([&]() -> PyObject* {
    WalkArgs w;
    if (!w.parse(args, true)) return nullptr;
    auto found = walk(w, w.second);
    if (!found) return nullptr;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(found->size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < found->size(); ++i) {
      const auto [id, depth] = (*found)[i];
      PyObject* pair = Py_BuildValue("(KK)", id, depth);
      if (!pair) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  });
}

PyObject* algo_reachable(PyObject*, PyObject* args) {
  return py::guarded([&]() -> PyObject* {
    WalkArgs w;
    if (!w.parse(args, false)) return nullptr;
    auto found = walk(w, UINT64_MAX);
    if (!found) return nullptr;
    struct Ids {  // the ids of the (id, depth) pairs
      std::vector<std::pair<uint64_t, uint64_t>>::const_iterator it;
      uint64_t operator*() const { return it->first; }
      Ids& operator++() { return ++it, *this; }
      bool operator!=(const Ids& o) const { return it != o.it; }
    };
    return id_set(Ids{found->begin()}, Ids{found->end()});
  });
}

PyObject* algo_shortest_path(PyObject*, PyObject* args) {
  return py::guarded([&]() -> PyObject* {
    WalkArgs w;
    if (!w.parse(args, true)) return nullptr;
    auto path = read_locked(w.db, [&](GraphDB& graph, const StopCheck& stop) {
      return graph.path_ids(w.first, w.second, w.direction, w.edge_label(),
                            stop);
    });
    if (!path) return nullptr;
    if (!*path) return py::new_none();
    return int_list(**path);
  });
}

// The adjacency of a whole-graph function's database, read under the lock
// from its first three arguments (db, label, progress); `own` more are the
// function's own.
struct WholeGraph {
  PyObject* progress = Py_None;
  std::optional<Adjacency> adjacency;

  bool read(PyObject* args, Py_ssize_t own) {
    PyObject* db = nullptr;
    const char* label = nullptr;
    Py_ssize_t label_size = 0;
    if (PyTuple_GET_SIZE(args) != 3 + own) {
      PyErr_Format(PyExc_TypeError, "expected %zd arguments, got %zd", 3 + own,
                   PyTuple_GET_SIZE(args));
      return false;
    }
    PyRef head(PyTuple_GetSlice(args, 0, 3));
    if (!head || !PyArg_ParseTuple(head.get(), "Oz#O", &db, &label,
                                   &label_size, &progress)) {
      return false;
    }
    // The read holds the lock, so its bar can only be drawn whole at its
    // end.
    PyProgress bar(progress);
    if (!bar.begin("reading", 1)) return false;
    adjacency = read_locked(db, [&](GraphDB& graph, const StopCheck& stop) {
      return graph.read_adjacency(label_of(label, label_size), stop);
    });
    return adjacency && bar.advance(1);
  }

  // fn(adjacency, progress), the adjacency freed as soon as it is done.
  template <typename Fn>
  auto run(Fn&& fn) {
    PyProgress bar(progress);
    auto result = computed(fn(*adjacency, &bar));
    adjacency.reset();
    return result;
  }
};

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

template <Result<Groups> (*kFind)(const Adjacency&, CheckProgress*)>
PyObject* algo_components(PyObject*, PyObject* args) {
  return py::guarded([&]() -> PyObject* {
    WholeGraph whole;
    if (!whole.read(args, 0)) return nullptr;
    auto groups = whole.run(kFind);
    return groups ? groups_to_py(*groups) : nullptr;
  });
}

PyObject* algo_topological_sort(PyObject*, PyObject* args) {
  return py::guarded([&]() -> PyObject* {
    WholeGraph whole;
    if (!whole.read(args, 0)) return nullptr;
    auto sorted = whole.run(topological_order);
    if (!sorted) return nullptr;
    if (sorted->cycle.empty()) return int_list(sorted->order);
    std::string names;
    for (uint32_t id : sorted->cycle) names += std::to_string(id) + " -> ";
    names += std::to_string(sorted->cycle.front());
    PyErr_Format(PyExc_ValueError,
                 "the graph has a cycle, so it has no topological order: %s",
                 names.c_str());
    return nullptr;
  });
}

PyObject* algo_pagerank(PyObject*, PyObject* args) {
  return py::guarded([&]() -> PyObject* {
    double alpha = 0, tol = 0;
    unsigned long long max_iter = 0;
    PyObject *db, *label, *progress;
    WholeGraph whole;
    if (!PyArg_ParseTuple(args, "OOOdKd", &db, &label, &progress, &alpha,
                          &max_iter, &tol) ||
        !whole.read(args, 3)) {
      return nullptr;
    }
    std::vector<bool> live = whole.adjacency->live;
    auto ranks = whole.run([&](const Adjacency& graph, CheckProgress* bar) {
      return pagerank(graph, alpha, max_iter, tol, bar);
    });
    if (!ranks) return nullptr;
    if (!*ranks) return py::new_none();
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    const std::vector<double>& x = **ranks;
    for (uint64_t u = 0; u < x.size(); ++u) {
      if (!live[u]) continue;
      PyRef key(PyLong_FromUnsignedLongLong(u));
      PyRef value(PyFloat_FromDouble(x[u]));
      if (!key || !value ||
          PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
        return nullptr;
      }
    }
    return dict.release();
  });
}

PyMethodDef algorithm_methods[] = {
    {"bfs", algo_bfs, METH_VARARGS, "Breadth-first ids and depths."},
    {"shortest_path", algo_shortest_path, METH_VARARGS,
     "A shortest path's ids."},
    {"reachable", algo_reachable, METH_VARARGS, "Ids reachable from a node."},
    {"weakly_connected_components", algo_components<weak_components>,
     METH_VARARGS, "Weakly connected components."},
    {"strongly_connected_components", algo_components<strong_components>,
     METH_VARARGS,
     "Strongly connected components."},
    {"topological_sort", algo_topological_sort, METH_VARARGS,
     "A topological order."},
    {"pagerank", algo_pagerank, METH_VARARGS, "PageRank by power iteration."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

std::nullptr_t raise_orvi_error(const OrviError& error) {
  const OrviCApi* api = orvi_capi();
  if (api == nullptr) return nullptr;
  const std::string message = error.message();
  api->raise_error(static_cast<int>(error.kind()), message.data(),
                   message.size());
  return nullptr;
}

int register_algorithms(PyObject* module) {
  return PyModule_AddFunctions(module, algorithm_methods);
}

}  // namespace orvi::tools
