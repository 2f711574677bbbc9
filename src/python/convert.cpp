#include "python/convert.h"

#include <cstring>
#include <utility>

#include "python/types.h"
#include "storage/prop_walk.h"

namespace orvi::py {

namespace {

constexpr const char kDepthMessage[] =
    "Property nesting depth exceeds the maximum of %u. Flatten nested "
    "structures before storing them as properties.";
constexpr const char kTypeMessage[] =
    "Property values must be None, bool, int, float, str, list, or dict "
    "(nested values follow the same rules). Got type `%s`.";
constexpr const char kNodeIdMessage[] =
    "Expected a orvi.Node instance or a non-negative integer node id; got "
    "type `%s`. Use the value returned by add_node() or node.id.";

// A failed protocol test is dropped before the next test is tried, except
// for errors that must not be swallowed (KeyboardInterrupt, SystemExit,
// MemoryError). Returns true when the error was cleared.
bool discard_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) ||
      PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

bool has_float_protocol(PyObject* v) {
  PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
  return PyFloat_Check(v) || PyLong_Check(v) ||
         (nb != nullptr &&
          (nb->nb_float != nullptr || nb->nb_index != nullptr));
}

bool is_integer_like(PyObject* v) {
  return PyLong_Check(v) || PyIndex_Check(v);
}

// The value through the integer protocol as an unsigned 64-bit number.
// false with the protocol's own error set (TypeError, OverflowError, or
// whatever __index__ raised).
bool index_as_u64(PyObject* v, uint64_t& out) {
  PyRef index(PyNumber_Index(v));
  if (!index) return false;
  unsigned long long x = PyLong_AsUnsignedLongLong(index.get());
  if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return false;
  }
  out = x;
  return true;
}

// The outcome of one conversion protocol: it applied, it does not apply
// (try the next one), or it failed with a Python error set.
enum class Tried { kDone, kNo, kError };

Tried try_int(PyObject* v, PropValue& out) {
  if (!is_integer_like(v)) return Tried::kNo;
  PyRef index(PyNumber_Index(v));
  if (index) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow == 0 && !(x == -1 && PyErr_Occurred())) {
      out = PropValue::from_int(x);
      return Tried::kDone;
    }
  }
  if (PyErr_Occurred() && !discard_error()) return Tried::kError;
  return Tried::kNo;
}

Tried try_float(PyObject* v, PropValue& out) {
  if (!has_float_protocol(v)) return Tried::kNo;
  double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) {
    return discard_error() ? Tried::kNo : Tried::kError;
  }
  out = PropValue::from_float(d);
  return Tried::kDone;
}

bool list_to_prop(PyObject* v, unsigned depth, PropValue& out) {
  // The slice owns references to the items as they are now.
  PyRef items(PyList_GetSlice(v, 0, PY_SSIZE_T_MAX));
  if (!items) return false;
  Py_ssize_t n = PyList_GET_SIZE(items.get());
  PropList list;
  list.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PropValue element;
    if (!py_to_prop_depth(PyList_GET_ITEM(items.get(), i), depth + 1,
                          element)) {
      return false;
    }
    list.push_back(std::move(element));
  }
  out = PropValue::from_list(std::move(list));
  return true;
}

bool dict_to_prop(PyObject* v, unsigned depth, PropValue& out) {
  // A list of (key, value) tuples owning references to both.
  PyRef items(PyDict_Items(v));
  if (!items) return false;
  Py_ssize_t n = PyList_GET_SIZE(items.get());
  PropMap map;
  map.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "property map keys must be str, not %.50s",
                   Py_TYPE(key)->tp_name);
      return false;
    }
    std::string name;
    if (!utf8_of(key, name)) return false;
    PropValue value;
    if (!py_to_prop_depth(PyTuple_GET_ITEM(pair, 1), depth + 1, value)) {
      return false;
    }
    map.insert_or_assign(std::move(name), std::move(value));
  }
  out = PropValue::from_map(std::move(map));
  return true;
}

}  // namespace

bool py_to_prop_depth(PyObject* v, unsigned depth, PropValue& out) {
  if (depth > kMaxPropDepth) {
    PyErr_Format(PyExc_ValueError, kDepthMessage, kMaxPropDepth);
    return false;
  }
  if (v == Py_None) {
    out = PropValue::null();
    return true;
  }
  if (PyBool_Check(v)) {
    out = PropValue::from_bool(v == Py_True);
    return true;
  }
  for (auto attempt : {try_int, try_float}) {
    switch (attempt(v, out)) {
      case Tried::kDone:
        return true;
      case Tried::kError:
        return false;
      case Tried::kNo:
        break;
    }
  }
  if (PyUnicode_Check(v)) {
    std::string s;
    if (!utf8_of(v, s)) return false;
    out = PropValue::from_string(std::move(s));
    return true;
  }
  if (PyList_Check(v)) return list_to_prop(v, depth, out);
  if (PyDict_Check(v)) return dict_to_prop(v, depth, out);
  PyErr_Format(PyExc_ValueError, kTypeMessage, type_short_name(v));
  return false;
}

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
    out = reinterpret_cast<PyNode*>(value)->node.id;
    return true;
  }
  if (is_integer_like(value)) {
    if (index_as_u64(value, out)) return true;
    if (!discard_error()) return false;
  }
  PyErr_Format(PyExc_ValueError, kNodeIdMessage, type_short_name(value));
  return false;
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

bool edge_id_from_py(PyObject* value, uint64_t& out) {
  if (is_py_edge(value)) {
    out = reinterpret_cast<PyEdge*>(value)->edge.id;
    return true;
  }
  return index_as_u64(value, out);
}

bool utf8_of(PyObject* str, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
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

PyObject* str_to_py(const std::string& s) {
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
  if (s.size() > kStrCacheMaxLen) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()),
                                nullptr);
  }
  StrCacheEntry& e = g_str_cache[str_cache_slot(s)];
  if (e.str != nullptr && e.len == s.size() &&
      std::memcmp(e.bytes, s.data(), s.size()) == 0) {
    Py_INCREF(e.str);
    return e.str;
  }
  PyObject* str = PyUnicode_DecodeUTF8(
      s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
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
