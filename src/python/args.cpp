#include "python/args.h"

#include "python/prop_from_py.h"

#include <cstring>

namespace orvi::py {

namespace {

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  size_t e = s.find_last_not_of(' ');
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// The positional index of keyword `name` among `kwnames`, or -1.
Py_ssize_t find_keyword(PyObject* kwnames, const std::string& name) {
  if (kwnames == nullptr) return -1;
  Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (PyUnicode_Check(key) &&
        PyUnicode_CompareWithASCIIString(key, name.c_str()) == 0) {
      return k;
    }
  }
  return -1;
}

}  // namespace

Signature::Signature(const char* doc) {
  const char* open = std::strchr(doc, '(');
  const char* close = std::strchr(doc, ')');
  fname_.assign(doc, open - doc);
  std::string list(open + 1, close - open - 1);
  bool kwonly = false;
  bool seen_default = false;
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t comma = list.find(',', pos);
    if (comma == std::string::npos) comma = list.size();
    std::string part = trim(list.substr(pos, comma - pos));
    pos = comma + 1;
    if (part.empty() || part == "$self") continue;
    if (part == "*") {
      kwonly = true;
      positional_ = size();
      continue;
    }
    if (part.rfind("**", 0) == 0) {
      var_kwargs_ = true;
      continue;
    }
    size_t eq = part.find('=');
    if (eq != std::string::npos) {
      seen_default = true;
      part = trim(part.substr(0, eq));
    } else if (!seen_default) {
      ++required_;
    }
    names_.push_back(part);
  }
  if (!kwonly) positional_ = size();
}

bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, BoundArgs& out) {
  // The common call, positional arguments only and enough of them, binds
  // without looking for keywords.
  if (kwnames == nullptr && nargs >= sig.required() &&
      nargs <= sig.positional()) {
    for (Py_ssize_t i = 0; i < nargs; ++i) out.values[i] = args[i];
    return true;
  }
  const char* f = sig.fname().c_str();
  const int len = sig.size();
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

  if (!sig.var_kwargs() && nargs + nkw > len) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes at most %d %sargument%s (%zd given)", f, len,
                 nargs == 0 ? "keyword " : "", len == 1 ? "" : "s",
                 nargs + nkw);
    return false;
  }
  if (nargs > sig.positional()) {
    const int max = sig.positional();
    if (max == 0) {
      PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", f);
    } else if (max == len) {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes at most %d argument%s (%zd given)", f, max,
                   max == 1 ? "" : "s", nargs);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes %s %d positional argument%s (%zd given)", f,
                   sig.required() < max ? "at most" : "exactly", max,
                   max == 1 ? "" : "s", nargs);
    }
    return false;
  }

  std::vector<bool> matched(static_cast<size_t>(nkw), false);
  for (int i = 0; i < len; ++i) {
    Py_ssize_t k = find_keyword(kwnames, sig.name(i));
    if (k >= 0) {
      matched[k] = true;
      if (i < nargs) {
        PyErr_Format(PyExc_TypeError,
                     "argument for %s() given by name ('%s') and position "
                     "(%d)",
                     f, sig.name(i).c_str(), i + 1);
        return false;
      }
      out.values[i] = args[nargs + k];
    } else if (i < nargs) {
      out.values[i] = args[i];
    } else if (i < sig.required()) {
      if (i < sig.positional()) {
        PyErr_Format(PyExc_TypeError,
                     "%s() missing required argument '%s' (pos %d)", f,
                     sig.name(i).c_str(), i + 1);
      } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() missing required keyword-only argument '%s'", f,
                     sig.name(i).c_str());
      }
      return false;
    }
  }

  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (matched[k]) continue;
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return false;
    }
    if (!sig.var_kwargs()) {
      PyErr_Format(PyExc_TypeError,
                   "'%U' is an invalid keyword argument for %s()", key, f);
      return false;
    }
    out.extra.emplace_back(key, args[nargs + k]);
  }
  return true;
}

bool bad_argument(const std::string& fname, const char* argname,
                  const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.50s",
               fname.c_str(), argname, expected,
               got == Py_None ? "None" : Py_TYPE(got)->tp_name);
  return false;
}

const char* type_short_name(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

bool plain_id_from_py(PyObject* value, const Signature& sig,
                      const char* argname, uint64_t& out) {
  if (!is_integer_like(value)) {
    return bad_argument(sig.fname(), argname, "int", value);
  }
  if (index_as_u64(value, out)) return true;
  if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError,
                 "%s() argument '%s' must be an integer from 0 to %llu",
                 sig.fname().c_str(), argname,
                 static_cast<unsigned long long>(UINT64_MAX));
  }
  return false;
}

bool id_arg_from_py(const Signature& sig, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, const char* argname,
                    uint64_t& out) {
  if (kwnames == nullptr && nargs == 1 && PyLong_CheckExact(args[0])) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(args[0], &overflow);
    if (overflow == 0 && v >= 0) {
      out = static_cast<uint64_t>(v);
      return true;
    }
  }
  BoundArgs b;
  return bind_args(sig, args, nargs, kwnames, b) &&
         plain_id_from_py(b[0], sig, argname, out);
}

bool str_from_py(PyObject* value, const Signature& sig, const char* argname,
                 std::string& out) {
  if (!PyUnicode_Check(value)) {
    return bad_argument(sig.fname(), argname, "str", value);
  }
  return utf8_of(value, out);
}

bool optional_str_from_py(PyObject* value, const Signature& sig,
                          const char* argname,
                          std::optional<std::string>& out) {
  if (value == nullptr || value == Py_None) {
    out.reset();
    return true;
  }
  if (!PyUnicode_Check(value)) {
    return bad_argument(sig.fname(), argname, "str or None", value);
  }
  std::string s;
  if (!utf8_of(value, s)) return false;
  out = std::move(s);
  return true;
}

bool direction_from_py(PyObject* value, const Signature& sig,
                       Direction& out) {
  std::string text = "out";
  if (value != nullptr && !str_from_py(value, sig, "direction", text)) {
    return false;
  }
  const std::optional<Direction> named = direction_named(text);
  if (!named) {
    PyErr_Format(PyExc_ValueError,
                 "invalid direction: got '%U' (use 'out', 'in', or 'both').",
                 value);
    return false;
  }
  out = *named;
  return true;
}

bool walk_args_from_py(const Signature& sig, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames,
                       bool (*node_id)(PyObject*, uint64_t&), uint64_t& start,
                       uint64_t& max_depth) {
  BoundArgs b;
  return bind_args(sig, args, nargs, kwnames, b) &&
         plain_id_from_py(b[1], sig, "max_depth", max_depth) &&
         node_id(b[0], start);
}

bool node_id_set_from_py(const Signature& sig, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames,
                         std::unordered_set<uint64_t>& out) {
  BoundArgs b;
  if (!bind_args(sig, args, nargs, kwnames, b)) return false;
  PyRef iter(PyObject_GetIter(b[0]));
  if (!iter) return false;
  while (PyObject* raw = PyIter_Next(iter.get())) {
    PyRef item(raw);
    uint64_t id = 0;
    if (!index_as_u64(item.get(), id)) return false;
    out.insert(id);
  }
  return !PyErr_Occurred();
}

PyObject* degrees_to_py(const std::vector<NodeDegrees>& table) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const NodeDegrees& d : table) {
    PyRef key(PyLong_FromUnsignedLongLong(d.id));
    if (!key) return nullptr;
    PyRef value(Py_BuildValue("(KK)", static_cast<unsigned long long>(d.out),
                              static_cast<unsigned long long>(d.in)));
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

}  // namespace orvi::py
