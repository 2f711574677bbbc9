// Conversion between Python objects and core values.
//
// From Python (all run before the handle is locked, so a failure leaves
// the database untouched). Each converter returns false with a Python
// error set on failure, in the manner of CPython's argument converters:
//   py_to_prop_depth  any value -> PropValue (nesting limit 32)
//   kwargs_to_props   a call's **kwargs -> PropMap
//   node_id_from_py   Node object or non-negative int -> node id
//   plain_id_from_py  int -> unsigned 64-bit id (TypeError / OverflowError
//                     naming the argument)
//   edge_id_from_py   Edge object or int -> edge id
//   str_from_py, optional_str_from_py, labels_from_py
// Every str is converted to UTF-8 where it is met; a str that has no UTF-8
// form (a lone surrogate) raises the interpreter's UnicodeEncodeError.
// Integers are taken through the integer protocol (__index__), so NumPy
// integers and other index-like objects work wherever an int does.
//
// Containers are converted from a snapshot that holds references to their
// items: a conversion hook (__index__, __float__) that changes the list or
// dict being converted cannot invalidate the walk.
//
// To Python: fresh objects built from detached core values, after the lock
// was released. These fail only when memory runs out.
#ifndef ORVI_PYTHON_CONVERT_H_
#define ORVI_PYTHON_CONVERT_H_

#include "python/pyref.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "graph/edge.h"
#include "graph/node.h"
#include "python/args.h"
#include "python/prop_from_py.h"
#include "storage/prop_codec.h"

namespace orvi::py {

bool kwargs_to_props(const BoundArgs& args, PropMap& out);
bool node_id_from_py(PyObject* value, uint64_t& out);
bool edge_id_from_py(PyObject* value, uint64_t& out);

// A sequence of str; a str itself is refused.
bool labels_from_py(PyObject* value, const Signature& sig,
                    const char* argname, std::vector<std::string>& out);

// The property name of a subscript or `in` test on a Node or Edge: a str,
// else TypeError.
bool prop_key_from_py(PyObject* key, std::string& out);

PyObject* str_to_py(std::string_view s);
// A str for text that recurs (property names, labels): short texts come
// from a small process-wide cache of str objects, so converting the same
// name again costs no new object and no new hash.
PyObject* cached_str_to_py(std::string_view s);
PyObject* u64_to_py(uint64_t v);
// The Python form of a checked property blob (a dict; empty for no blob)
// and of the value at `pos` of a checked encoding, built straight from the
// bytes.
PyObject* encoded_props_to_py(std::string_view blob);
PyObject* encoded_value_to_py(std::string_view bytes, size_t pos);
// A new list of the labels of a checked label blob.
PyObject* encoded_labels_to_py(std::string_view blob);
PyObject* node_list_to_py(std::vector<Node> nodes);
PyObject* edge_list_to_py(std::vector<Edge> edges);
// Record dicts: the fixed keys first ("id", "labels" / "id", "label",
// "from_node", "to_node"), then the properties, which replace a fixed key
// of the same name.
PyObject* node_record(const Node& node);
PyObject* edge_record(const Edge& edge);
PyObject* node_records_to_py(const std::vector<Node>& nodes);
PyObject* edge_records_to_py(const std::vector<Edge>& edges);

}  // namespace orvi::py

#endif  // ORVI_PYTHON_CONVERT_H_
