#include "python/convert.h"

#include <cstring>
#include <utility>

#include "python/types.h"
#include "storage/prop_walk.h"

namespace orvi::py {

namespace {

constexpr const char kNodeIdMessage[] =
    "Expected a orvi.Node instance or a non-negative integer node id; got "
    "type `%s`. Use the value returned by add_node() or node.id.";

}  // namespace

bool kwargs_to_props(const BoundArgs& args, PropMap& out) {
  out.clear();
  out.reserve(args.extra.size());
  for (const auto& [key, value] : args.extra) {
    std::string name;
    if (!utf8_of(key, name)) return false;
    PropValue prop;
    if (!py_to_prop_depth(value, 0, prop)) return false;
    out.insert_or_assign(std::move(name), std::move(prop));
  }
  return true;
}

bool node_id_from_py(PyObject* value, uint64_t& out) {
  if (is_py_node(value)) {
    out = reinterpret_cast<PyNode*>(value)->id;
    return true;
  }
  if (is_integer_like(value)) {
    if (index_as_u64(value, out)) return true;
    if (!discard_error()) return false;
  }
  PyErr_Format(PyExc_ValueError, kNodeIdMessage, type_short_name(value));
  return false;
}

bool edge_id_from_py(PyObject* value, uint64_t& out) {
  if (is_py_edge(value)) {
    out = reinterpret_cast<PyEdge*>(value)->edge.id;
    return true;
  }
  return index_as_u64(value, out);
}

bool labels_from_py(PyObject* value, const Signature& sig,
                    const char* argname, std::vector<std::string>& out) {
  if (PyUnicode_Check(value) || !PySequence_Check(value)) {
    return bad_argument(sig.fname(), argname, "a sequence of str", value);
  }
  // A list or tuple comes back as itself; anything else as a new list.
  PyRef seq(PySequence_Fast(value, "labels must be a sequence"));
  if (!seq) return false;
  out.clear();
  // Only str items are read and encoding them runs no Python code, so the
  // sequence cannot change during the loop.
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError,
                   "%s() argument '%s' must contain only str, not %.50s",
                   sig.fname().c_str(), argname, Py_TYPE(item)->tp_name);
      return false;
    }
    std::string label;
    if (!utf8_of(item, label)) return false;
    out.push_back(std::move(label));
  }
  return true;
}

bool prop_key_from_py(PyObject* key, std::string& out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "property name must be str, not %.50s",
                 key == Py_None ? "None" : Py_TYPE(key)->tp_name);
    return false;
  }
  return utf8_of(key, out);
}

PyObject* str_to_py(std::string_view s) {
  // Stored strings were checked to be UTF-8 when they were decoded.
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()),
                              nullptr);
}

namespace {

// A direct-mapped cache of str objects for short recurring texts. Each
// entry owns a reference to its str; a colliding text replaces the entry.
// Conversions run with the interpreter lock held, which serialises all use.
constexpr size_t kStrCacheSlots = 512;
constexpr size_t kStrCacheMaxLen = 32;

struct StrCacheEntry {
  PyObject* str = nullptr;
  uint32_t len = 0;
  char bytes[kStrCacheMaxLen];
};

StrCacheEntry g_str_cache[kStrCacheSlots];

size_t str_cache_slot(std::string_view s) {
  uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
  for (char c : s) {
    h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  }
  return static_cast<size_t>(h ^ (h >> 29)) & (kStrCacheSlots - 1);
}

}  // namespace

PyObject* cached_str_to_py(std::string_view s) {
  if (s.size() > kStrCacheMaxLen) return str_to_py(s);
  StrCacheEntry& e = g_str_cache[str_cache_slot(s)];
  if (e.str != nullptr && e.len == s.size() &&
      std::memcmp(e.bytes, s.data(), s.size()) == 0) {
    Py_INCREF(e.str);
    return e.str;
  }
  PyObject* str = str_to_py(s);
  if (str == nullptr) return nullptr;
  PyObject* old = e.str;
  Py_INCREF(str);
  e.str = str;
  e.len = static_cast<uint32_t>(s.size());
  std::memcpy(e.bytes, s.data(), s.size());
  Py_XDECREF(old);
  return str;
}

PyObject* u64_to_py(uint64_t v) {
  return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));
}

namespace {

// dict[key] = value for a UTF-8 key, taking ownership of `value`.
bool set_item(PyObject* dict, std::string_view key, PyObject* value) {
  PyRef v(value);
  if (!v) return false;
  PyRef k(cached_str_to_py(key));
  if (!k) return false;
  return PyDict_SetItem(dict, k.get(), v.get()) == 0;
}

// Python objects straight from a checked encoding, without a PropValue in
// between: None, bool, int, float, str, list and dict. A map's
// repeated key replaces the earlier value, as decoding does. Stops at the
// first failed allocation with the Python error set.
struct PySink {
  static constexpr bool kChecked = false;
  using Value = PyObject*;  // a new reference once set
  struct List {
    PyRef list;
    Py_ssize_t filled = 0;
  };
  using Map = PyRef;

  static bool set(PyObject* obj, Value& out) {
    out = obj;
    return obj != nullptr;
  }
  bool null(Value& out) { return set(new_none(), out); }
  bool boolean(bool b, Value& out) { return set(new_bool(b), out); }
  bool integer(int64_t i, Value& out) {
    return set(PyLong_FromLongLong(i), out);
  }
  bool real(double d, Value& out) { return set(PyFloat_FromDouble(d), out); }
  bool text(std::string_view s, Value& out) {
    return set(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()),
                                    nullptr),
               out);
  }
  bool begin_list(uint32_t count, size_t, List& items) {
    items.list = PyRef(PyList_New(static_cast<Py_ssize_t>(count)));
    return static_cast<bool>(items.list);
  }
  template <typename Walk>
  bool list_item(List& items, const Walk& walk) {
    PyObject* item = nullptr;
    if (!walk(item)) return false;
    PyList_SET_ITEM(items.list.get(), items.filled, item);
    ++items.filled;
    return true;
  }
  bool end_list(List& items, Value& out) {
    out = items.list.release();
    return true;
  }
  bool begin_map(uint32_t, size_t, Map& dict) {
    dict = PyRef(PyDict_New());
    return static_cast<bool>(dict);
  }
  template <typename Walk>
  bool map_item(Map& dict, std::string_view key, const Walk& walk) {
    PyObject* value = nullptr;
    return walk(value) && set_item(dict.get(), key, value);
  }
  bool end_map(Map& dict, Value& out) {
    out = dict.release();
    return true;
  }
};

// A new list of make(item) for every item; `items` may be const (make sees
// const items) or not (make may move them out).
template <typename Items, typename F>
PyObject* list_of(Items& items, F&& make) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = make(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// The fixed keys already in `dict`, then the properties of `blob`, which
// replace a fixed key of the same name.
PyObject* with_props(PyRef dict, std::string_view blob) {
  if (!dict) return nullptr;
  PyRef props(encoded_props_to_py(blob));
  if (!props || PyDict_Update(dict.get(), props.get()) < 0) return nullptr;
  return dict.release();
}


}  // namespace

PyObject* encoded_value_to_py(std::string_view bytes, size_t pos) {
  PySink sink;
  ValueWalker<PySink> walker(sink, bytes, pos);
  PyObject* value = nullptr;
  if (walker.value(0, value)) return value;
  // Checked input has no unknown tag; anything else left its own error.
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "orvi: unknown property kind");
  }
  return nullptr;
}

PyObject* encoded_props_to_py(std::string_view blob) {
  if (blob.empty()) return PyDict_New();
  return encoded_value_to_py(blob, 0);
}

PyObject* encoded_labels_to_py(std::string_view blob) {
  std::vector<std::string_view> labels;
  (void)decode_label_views(blob, labels);
  return list_of(labels, cached_str_to_py);
}

PyObject* node_list_to_py(std::vector<Node> nodes) {
  return list_of(nodes, [](Node& n) { return new_py_node(std::move(n)); });
}

PyObject* edge_list_to_py(std::vector<Edge> edges) {
  return list_of(edges, [](Edge& e) { return new_py_edge(std::move(e)); });
}

PyObject* node_record(const Node& node) {
  PyRef dict(PyDict_New());
  if (!dict ||
      !set_item(dict.get(), "id", u64_to_py(node.id)) ||
      !set_item(dict.get(), "labels", encoded_labels_to_py(node.label_blob()))) {
    return nullptr;
  }
  return with_props(std::move(dict), node.prop_blob());
}

PyObject* edge_record(const Edge& edge) {
  PyRef dict(PyDict_New());
  if (!dict || !set_item(dict.get(), "id", u64_to_py(edge.id)) ||
      !set_item(dict.get(), "label", str_to_py(edge.label)) ||
      !set_item(dict.get(), "from_node", u64_to_py(edge.from_node)) ||
      !set_item(dict.get(), "to_node", u64_to_py(edge.to_node))) {
    return nullptr;
  }
  return with_props(std::move(dict), edge.prop_blob);
}

PyObject* node_records_to_py(const std::vector<Node>& nodes) {
  return list_of(nodes, node_record);
}

PyObject* edge_records_to_py(const std::vector<Edge>& edges) {
  return list_of(edges, edge_record);
}

}  // namespace orvi::py
