#include "python/record_view.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "python/convert.h"

namespace orvi::py {

namespace {

constexpr size_t kAbsent = static_cast<size_t>(-1);

// Calls f(key, value position) for every entry of a checked map blob, in
// stored order.
template <typename F>
void for_each_entry(std::string_view blob, F&& f) {
  if (blob.empty()) return;
  const auto* p = reinterpret_cast<const uint8_t*>(blob.data());
  const uint32_t count = get_u32(p + 1);
  size_t pos = 5;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t len = get_u32(p + pos);
    const std::string_view key = blob.substr(pos + 4, len);
    pos += 4 + len;
    f(key, pos);
    pos = skip_checked(blob, pos);
  }
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

PyObject* record_properties(std::string_view blob) {
  return encoded_props_to_py(blob);
}

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

std::string escape_label(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (i + len > s.size()) len = s.size() - i;
    Py_UCS4 cp = len == 1 ? c : c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
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
        if (Py_UNICODE_ISPRINTABLE(cp)) {
          out.append(s, i, len);
        } else {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}",
                        static_cast<unsigned>(cp));
          out += buf;
        }
    }
    i += len;
  }
  return out;
}

}  // namespace orvi::py
