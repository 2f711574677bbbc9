// Argument binding for METH_FASTCALL | METH_KEYWORDS methods.
//
// Every method's docstring begins with its text signature, for example
// "neighbors($self, node_arg, edge_label=None, direction=\"out\")". The
// binder reads the parameter list from that same text (once per method),
// so the signature Python shows and the binding can never disagree:
//   name          required, by position or keyword
//   name=default  optional (the default itself is applied by the method)
//   *             the parameters after it are keyword-only
//   **name        unknown keywords are collected instead of refused
//
// Failures raise TypeError with CPython's own wording:
//   "f() takes at most 2 arguments (3 given)"
//   "f() missing required argument 'labels' (pos 1)"
//   "'x' is an invalid keyword argument for f()"
//   "argument for f() given by name ('x') and position (1)"
// and bad_argument() gives "f() argument 'path' must be str, not bytes".
//
// Bound values are borrowed from the call's argument vector, which the
// caller keeps alive for the whole call.
#ifndef ORVI_PYTHON_ARGS_H_
#define ORVI_PYTHON_ARGS_H_

#include "python/pyref.h"

#include "graph/edge.h"
#include "graph/edge_stats.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace orvi::py {

inline constexpr int kMaxParams = 8;

class Signature {
 public:
  // Parses the text signature at the start of `doc` (up to the first ')').
  explicit Signature(const char* doc);

  const std::string& fname() const { return fname_; }
  int size() const { return static_cast<int>(names_.size()); }
  const std::string& name(int i) const { return names_[i]; }
  int required() const { return required_; }
  int positional() const { return positional_; }
  bool var_kwargs() const { return var_kwargs_; }

 private:
  std::string fname_;
  std::vector<std::string> names_;
  int required_ = 0;    // parameters [0, required_) have no default
  int positional_ = 0;  // parameters [positional_, size()) are keyword-only
  bool var_kwargs_ = false;
};

struct BoundArgs {
  // Borrowed; nullptr when the parameter was not given.
  std::array<PyObject*, kMaxParams> values{};
  // Keywords collected by **kwargs, in call order: (name, value), borrowed.
  std::vector<std::pair<PyObject*, PyObject*>> extra;

  PyObject* operator[](int i) const { return values[i]; }
};

// Binds a vectorcall argument list. Returns false with TypeError set.
bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, BoundArgs& out);

// Raises "f() argument 'name' must be <expected>, not <type>" and returns
// false.
bool bad_argument(const std::string& fname, const char* argname,
                  const char* expected, PyObject* got);

// The type's name without its module ("tuple", "Node").
const char* type_short_name(PyObject* obj);

// The argument of a method whose one argument is an id, converted as
// plain_id_from_py converts it. The common call, one positional exact int
// that fits, is read without binding; any other goes through bind_args.
bool id_arg_from_py(const Signature& sig, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, const char* argname,
                    uint64_t& out);

// The argument converters that the orvi module and the engine module
// share (their texts are the methods' own).
// An int by the integer protocol, 0 to 2**64 - 1.
bool plain_id_from_py(PyObject* value, const Signature& sig,
                      const char* argname, uint64_t& out);
// A required str argument.
bool str_from_py(PyObject* value, const Signature& sig, const char* argname,
                 std::string& out);
// A str argument or None (no value).
bool optional_str_from_py(PyObject* value, const Signature& sig,
                          const char* argname,
                          std::optional<std::string>& out);

// The direction argument of neighbors(): "out" (also when not given),
// "in" or "both".
bool direction_from_py(PyObject* value, const Signature& sig, Direction& out);

// The arguments of bfs() and dfs(): (start, max_depth), max_depth
// converted first; `node_id` converts the start node.
bool walk_args_from_py(const Signature& sig, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames,
                       bool (*node_id)(PyObject*, uint64_t&), uint64_t& start,
                       uint64_t& max_depth);

// The argument of edges_between(): an iterable of plain non-negative
// ints, each through the integer protocol with the interpreter's own
// TypeError / OverflowError (a Node object is refused).
bool node_id_set_from_py(const Signature& sig, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames,
                         std::unordered_set<uint64_t>& out);

// The result of degree_stats(): {id: (out, in)} in the table's order.
PyObject* degrees_to_py(const std::vector<NodeDegrees>& table);

}  // namespace orvi::py

#endif  // ORVI_PYTHON_ARGS_H_
