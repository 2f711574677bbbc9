#include "python/record_view.h"

#include <cstdio>
#include <string>

#include "python/convert.h"

namespace orvi::py {

PyObject* record_get(const PropMap& props, const Signature& sig,
                     PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  BoundArgs bound;
  if (!bind_args(sig, args, nargs, kwnames, bound)) return nullptr;
  std::string key;
  if (!str_from_py(bound[0], sig, "key", key)) return nullptr;
  const PropValue* value = find_prop(props, key);
  return value ? prop_to_py(*value) : new_none();
}

PyObject* record_keys(const PropMap& props) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(props.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& entry : props) {
    PyObject* key = str_to_py(entry.first);
    if (key == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i++, key);
  }
  return list.release();
}

PyObject* record_subscript(const PropMap& props, PyObject* key_obj,
                           const char* word) {
  std::string key;
  if (!prop_key_from_py(key_obj, key)) return nullptr;
  const PropValue* value = find_prop(props, key);
  if (value != nullptr) return prop_to_py(*value);
  PyRef message(PyUnicode_FromFormat(
      "No property named '%U' on this %s. Use .get('%U') if the key may be "
      "absent, or inspect .keys().",
      key_obj, word, key_obj));
  if (message) PyErr_SetObject(PyExc_KeyError, message.get());
  return nullptr;
}

int record_contains(const PropMap& props, PyObject* key_obj) {
  std::string key;
  if (!prop_key_from_py(key_obj, key)) return -1;
  return find_prop(props, key) != nullptr ? 1 : 0;
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
