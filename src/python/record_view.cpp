#include "python/record_view.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "python/convert.h"
#include "storage/prop_walk.h"
#include "storage/text.h"

namespace orvi::py {

namespace {

constexpr size_t kAbsent = static_cast<size_t>(-1);

// Hands f(key, value position) every entry of a checked map blob, in
// stored order; the values are walked past, not read.
template <typename F>
struct EntrySink : NullSink<false> {
  explicit EntrySink(F& f) : f(f) {}
  bool begin_map(uint32_t, size_t, Map&) { return depth += 1, true; }
  template <typename Walk>
  bool map_item(Map&, std::string_view key, const Walk& walk) {
    if (depth == 1) f(key, walk.pos());
    Value value;
    return walk(value);
  }
  bool end_map(Map&, Value&) { return depth -= 1, true; }

  F& f;
  int depth = 0;
};

template <typename F>
void for_each_entry(std::string_view blob, F&& f) {
  if (blob.empty()) return;
  EntrySink<F> sink(f);
  ValueWalker<EntrySink<F>> walker(sink, blob, 0);
  NullSink<false>::Value nothing;
  walker.value(0, nothing);
}

// The value position of the entry named `key`; with a repeated key the last
// one, which is the one decoding keeps.
size_t find_entry(std::string_view blob, std::string_view key) {
  size_t found = kAbsent;
  for_each_entry(blob, [&](std::string_view k, size_t pos) {
    if (k == key) found = pos;
  });
  return found;
}

// The property named `key` as a new Python object, or nullptr without an
// error set when there is none.
PyObject* lookup(std::string_view blob, const std::string& key) {
  const size_t pos = find_entry(blob, key);
  return pos == kAbsent ? nullptr : encoded_value_to_py(blob, pos);
}

}  // namespace

PyObject* record_get(std::string_view blob, const Signature& sig,
                     PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  BoundArgs bound;
  if (!bind_args(sig, args, nargs, kwnames, bound)) return nullptr;
  std::string key;
  if (!str_from_py(bound[0], sig, "key", key)) return nullptr;
  PyObject* value = lookup(blob, key);
  if (value == nullptr && !PyErr_Occurred()) return new_none();
  return value;
}

PyObject* record_keys(std::string_view blob) {
  std::vector<std::string_view> names;
  {
    bool ascending = true;
    for_each_entry(blob, [&](std::string_view key, size_t) {
      if (!names.empty() && !(names.back() < key)) ascending = false;
      names.push_back(key);
    });
    // Written blobs list each key once, in ascending order; a repeated key
    // (possible only in a damaged blob) is one property, listed once.
    if (!ascending) {
      std::vector<std::string_view> unique;
      std::unordered_set<std::string_view> seen;
      for (std::string_view key : names) {
        if (seen.insert(key).second) unique.push_back(key);
      }
      names = std::move(unique);
    }
  }
  PyRef list(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < names.size(); ++i) {
    PyObject* key = cached_str_to_py(names[i]);
    if (key == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), key);
  }
  return list.release();
}

PyObject* record_subscript(std::string_view blob, PyObject* key_obj,
                           const char* word) {
  std::string key;
  if (!prop_key_from_py(key_obj, key)) return nullptr;
  PyObject* value = lookup(blob, key);
  if (value != nullptr || PyErr_Occurred()) return value;
  PyRef message(PyUnicode_FromFormat(
      "No property named '%U' on this %s. Use .get('%U') if the key may be "
      "absent, or inspect .keys().",
      key_obj, word, key_obj));
  if (message) PyErr_SetObject(PyExc_KeyError, message.get());
  return nullptr;
}

int record_contains(std::string_view blob, PyObject* key_obj) {
  std::string key;
  if (!prop_key_from_py(key_obj, key)) return -1;
  return find_entry(blob, key) != kAbsent ? 1 : 0;
}

std::string escape_label(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::optional<char32_t> decoded;
  for (size_t i = 0; i < s.size();) {
    const size_t len = decode_utf8(s, i, &decoded);
    // Stored labels are checked UTF-8; a byte that is not is shown as
    // U+FFFD rather than dropped.
    const char32_t cp = decoded.value_or(0xFFFD);
    switch (cp) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (decoded && Py_UNICODE_ISPRINTABLE(cp)) {
          out.append(s.substr(i, len));
        } else {
          out += "\\u{" + hex(cp) + "}";
        }
    }
    i += len;
  }
  return out;
}

}  // namespace orvi::py
