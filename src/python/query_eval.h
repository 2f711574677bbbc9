// The Python stage of a node or edge query, shared by orvi.NodeQuery /
// orvi.EdgeQuery and the tools' Reader queries.
//
// The core stage (graph/query.h) yields the label-filtered candidates in
// ascending id order; when the query has no predicate and a limit, it
// already applied the window (query_window() says whether to ask for
// it). This stage then applies the predicate, then skip, then limit,
// always in this order, with no lock held: each candidate becomes one
// result object, which is passed to the predicate and, if kept, returned.
//
// The predicate must return a bool (a NumPy bool is accepted through its
// truth value); anything else raises TypeError. Its exceptions propagate
// unchanged and end the evaluation. A limit of 0 yields nothing.
#ifndef ORVI_PYTHON_QUERY_EVAL_H_
#define ORVI_PYTHON_QUERY_EVAL_H_

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "graph/query.h"
#include "python/args.h"
#include "python/pyref.h"

namespace orvi::py {

// The value of a query; its owner (a database handle, a reader) is kept
// beside it.
struct QueryFields {
  std::optional<uint64_t> limit;
  std::vector<std::string> labels;
  PyRef predicate;  // nullptr: no predicate
  uint64_t skip = 0;

  QueryFields copy() const {
    return {limit, labels, PyRef::borrow(predicate.get()), skip};
  }
};

inline constexpr const char kQueryLabelDoc[] = "label($self, label)\n--\n\n";
inline constexpr const char kQueryWhereDoc[] =
    "where_($self, predicate)\n--\n\n";
inline constexpr const char kQuerySkipDoc[] = "skip($self, n)\n--\n\n";
inline constexpr const char kQueryLimitDoc[] = "limit($self, n)\n--\n\n";

// The refining methods; each is named by its signature text.
enum class Refine { kLabel, kWhere, kSkip, kLimit };

// The fields of `q` refined by label(label), where_(predicate), skip(n) or
// limit(n) called with these arguments; nullopt with the argument's error
// set.
template <Refine kind>
std::optional<QueryFields> refine_query(const QueryFields& q,
                                        PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig(kind == Refine::kLabel   ? kQueryLabelDoc
                             : kind == Refine::kWhere ? kQueryWhereDoc
                             : kind == Refine::kSkip  ? kQuerySkipDoc
                                                      : kQueryLimitDoc);
  BoundArgs b;
  if (!bind_args(sig, args, nargs, kwnames, b)) return std::nullopt;
  QueryFields out = q.copy();
  if constexpr (kind == Refine::kLabel) {
    std::string label;
    if (!str_from_py(b[0], sig, "label", label)) return std::nullopt;
    out.labels.push_back(std::move(label));
  } else if constexpr (kind == Refine::kWhere) {
    // Any object is accepted here; it is called only when the query runs.
    out.predicate = PyRef::borrow(b[0]);
  } else {
    uint64_t n = 0;
    if (!plain_id_from_py(b[0], sig, "n", n)) return std::nullopt;
    if constexpr (kind == Refine::kSkip) {
      out.skip = n;
    } else {
      out.limit = n;
    }
  }
  return out;
}

enum class Want { kList, kCount, kExists };

// The window the core stage applies: only without a predicate, and only
// when there is a limit.
inline std::optional<QueryWindow> query_window(bool has_predicate,
                                               uint64_t skip,
                                               std::optional<uint64_t> limit) {
  if (has_predicate || !limit) return std::nullopt;
  return QueryWindow{skip, *limit};
}

// The predicate's verdict: 1 keep, 0 drop, -1 error set. NumPy's boolean
// scalar (numpy.bool, formerly numpy.bool_) is recognised by its type name
// so that numpy is never imported here.
inline int predicate_verdict(PyObject* result) {
  if (result == Py_True) return 1;
  if (result == Py_False) return 0;
  const char* name = Py_TYPE(result)->tp_name;
  if (std::strcmp(name, "numpy.bool") == 0 ||
      std::strcmp(name, "numpy.bool_") == 0) {
    return PyObject_IsTrue(result);
  }
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'",
               type_short_name(result), "bool");
  return -1;
}

// The result of a query over `items` (the core stage's candidates, read
// with `window`): a list of objects made by make(Record&&) (kList), their
// number (kCount) or whether there is one (kExists), as a new reference.
// `predicate` may be null.
template <typename Record, typename Make>
PyObject* finish_query(std::vector<Record>& items,
                       const std::optional<QueryWindow>& window,
                       PyObject* predicate, uint64_t skip,
                       std::optional<uint64_t> limit, Want want, Make make) {
  if (predicate == nullptr) {
    // Either the core stage already cut the window, or there is no limit.
    size_t first = 0;
    if (!window) first = skip < items.size() ? skip : items.size();
    const size_t take = items.size() - first;
    if (want == Want::kCount) return PyLong_FromSize_t(take);
    if (want == Want::kExists) return new_bool(take > 0);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(take)));
    if (!list) return nullptr;
    for (size_t i = 0; i < take; ++i) {
      PyObject* item = make(std::move(items[first + i]));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  }

  PyRef list;
  if (want == Want::kList) {
    list = PyRef(PyList_New(0));
    if (!list) return nullptr;
  }
  uint64_t found = 0;
  uint64_t matched = 0;
  if (!limit || *limit > 0) {
    for (auto& candidate : items) {
      PyRef object(make(std::move(candidate)));
      if (!object) return nullptr;
      PyRef result(PyObject_CallOneArg(predicate, object.get()));
      if (!result) return nullptr;
      const int keep = predicate_verdict(result.get());
      if (keep < 0) return nullptr;
      if (keep == 0) continue;
      if (matched < skip) {
        ++matched;
        continue;
      }
      if (list && PyList_Append(list.get(), object.get()) < 0) return nullptr;
      ++found;
      if (limit && found >= *limit) break;
    }
  }
  if (want == Want::kCount) return PyLong_FromUnsignedLongLong(found);
  if (want == Want::kExists) return new_bool(found > 0);
  return list.release();
}

// exists() stops at the first result whatever the query's own limit,
// except that a query limited to 0 results has none.
inline uint64_t exists_limit(const std::optional<uint64_t>& own) {
  return own && *own == 0 ? 0 : 1;
}

}  // namespace orvi::py

#endif  // ORVI_PYTHON_QUERY_EVAL_H_
