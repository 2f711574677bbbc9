// Python values to property values: the one conversion every caller uses.
//
// Kept apart from the rest of the binding so that the tools' extension
// module converts values exactly as the orvi module does, without the
// binding's object types. Each converter returns false with a Python error
// set on failure:
//   py_to_prop_depth  None, bool, int (integer protocol; one beyond 64
//                     bits goes on to the float protocol), float (float
//                     protocol), str, list, dict with str keys -> PropValue,
//                     nesting limited to kMaxPropDepth
//   dict_to_props     a dict with str keys -> PropMap
//   utf8_of           a str's UTF-8 text (UnicodeEncodeError for a lone
//                     surrogate)
// Containers are converted from a snapshot that holds references to their
// items, so a conversion hook that changes them cannot invalidate the walk.
#ifndef ORVI_PYTHON_PROP_FROM_PY_H_
#define ORVI_PYTHON_PROP_FROM_PY_H_

#include "python/pyref.h"

#include <cstdint>
#include <string>

#include "storage/prop_codec.h"

namespace orvi::py {

inline constexpr unsigned kMaxPropDepth = 32;

bool py_to_prop_depth(PyObject* value, unsigned depth, PropValue& out);
// The items of a dict with str keys, each value converted at `depth`.
bool dict_to_props(PyObject* dict, unsigned depth, PropMap& out);
// The UTF-8 text of a str object (the caller checked PyUnicode_Check).
bool utf8_of(PyObject* str, std::string& out);

// Drops a failed protocol test's error unless it must not be swallowed
// (KeyboardInterrupt, SystemExit, MemoryError); true when it was cleared.
bool discard_error();
bool has_float_protocol(PyObject* v);
bool is_integer_like(PyObject* v);
// The value through the integer protocol as an unsigned 64-bit number;
// false with the protocol's own error set.
bool index_as_u64(PyObject* v, uint64_t& out);

}  // namespace orvi::py

#endif  // ORVI_PYTHON_PROP_FROM_PY_H_
