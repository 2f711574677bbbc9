// The read-only mapping behaviour shared by orvi.Node and orvi.Edge:
// get(key), keys(), obj[key] and `key in obj` over the snapshot's
// checked property blob, read in place. Keys must be str (TypeError otherwise, never a quiet
// False or None); values are converted fresh on every access.
#ifndef ORVI_PYTHON_RECORD_VIEW_H_
#define ORVI_PYTHON_RECORD_VIEW_H_

#include "python/pyref.h"

#include "python/args.h"
#include "python/types.h"
#include "storage/prop_codec.h"

namespace orvi::py {

// properties: a new dict.
PyObject* record_properties(std::string_view blob);
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

// The repr text of a node label: backslash and double quote escaped,
// tab, CR, LF and NUL as \t \r \n \0, other non-printable characters as
// \u{hex}.
std::string escape_label(std::string_view label);

}  // namespace orvi::py

#endif  // ORVI_PYTHON_RECORD_VIEW_H_
