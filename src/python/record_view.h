// The read-only mapping behaviour shared by orvi.Node and orvi.Edge:
// get(key), keys(), obj[key] and `key in obj` over the snapshot's
// checked property blob, read in place. Keys must be str (TypeError otherwise, never a quiet
// False or None); values are converted fresh on every access.
#ifndef ORVI_PYTHON_RECORD_VIEW_H_
#define ORVI_PYTHON_RECORD_VIEW_H_

#include "python/pyref.h"

#include "python/args.h"
#include "python/convert.h"
#include "python/frame.h"
#include "python/types.h"
#include "storage/prop_codec.h"

namespace orvi::py {

// get($self, key): the value, or None when absent.
PyObject* record_get(std::string_view blob, const Signature& sig,
                     PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames);
// keys($self): a new list of the property names.
PyObject* record_keys(std::string_view blob);
// obj[key]; KeyError naming the key and `word` ("node" or "edge").
PyObject* record_subscript(std::string_view blob, PyObject* key,
                           const char* word);
// key in obj.
int record_contains(std::string_view blob, PyObject* key);

// The methods and slots of a record class over the property blob that
// kBlob finds in an object; kWord names the record in KeyError texts.
template <std::string_view (*kBlob)(PyObject*), const char* kWord>
struct RecordMapping {
  static PyObject* properties(PyObject* self, void*) {
    return guarded([&] { return encoded_props_to_py(kBlob(self)); });
  }
  static PyObject* get(PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
      static const Signature sig("get($self, key)");
      return record_get(kBlob(self), sig, args, nargs, kwnames);
    });
  }
  static PyObject* keys(PyObject* self, PyObject*) {
    return guarded([&] { return record_keys(kBlob(self)); });
  }
  static PyObject* subscript(PyObject* self, PyObject* key) {
    return guarded([&] { return record_subscript(kBlob(self), key, kWord); });
  }
  static int contains(PyObject* self, PyObject* key) {
    return guarded([&] { return record_contains(kBlob(self), key); });
  }
};

// The repr text of a node label: backslash and double quote escaped,
// tab, CR, LF and NUL as \t \r \n \0, other non-printable characters as
// \u{hex}.
std::string escape_label(std::string_view label);

}  // namespace orvi::py

#endif  // ORVI_PYTHON_RECORD_VIEW_H_
