// orvi_tools._engine.Builder: the graph builder (graph/builder.h) for the
// import tools.
//
//   builder(path) -> Builder     opens `path` for building (created when
//                                missing); nothing else may have it open
//   Builder.first_node_id()      the id the builder's first node gets
//   Builder.add_nodes(labels, properties) -> first id of the batch
//        labels: a list of label lists (each a list or tuple of str);
//        properties: a list of the same length of dicts or None
//   Builder.add_edges(sources, labels, targets, properties) -> first id
//        sources, targets: lists of node ids (ints) added by this builder;
//        labels: a list of str; properties: a list of dicts or None
//   Builder.add_table(batch, nodes, properties, values, absent)
//        -> rows added, or the list of columns it needs as Python values
//        batch: a record batch with __arrow_c_array__ (the Arrow PyCapsule
//        interface) in the layout of a node table (id, labels) or an edge
//        table (from_node, to_node, label); properties: (column, property
//        name, null is None[, json]) per property column, json for a column
//        of tagged JSON texts, which the builder decodes (json_lines.h)
//        unless the parser declines one of its texts: the column then
//        needs Python values, and such columns come first in the list
//        returned; values: column name ->
//        a list of the column's Python values (node keys; label lists;
//        labels; property values, `absent` where the record lacks the
//        property) for the columns whose Arrow type is not read in place
//        (arrow_table.h). When a column needs such values and `values`
//        lacks them, nothing is added and the column names are returned.
//        Node keys (int or str) are kept by the builder: an edge names
//        its ends by them.
//   Builder.add_jsonl(path, progress) -> (stop, line, nodes, edges,
//        last_is_node, run)
//        reads the JSON Lines file `path` (json_lines.h) from its start,
//        adding its records with their keys in the builder's key map, until
//        its end (stop is None) or a line the parser declines or whose
//        record breaks a rule (a key defined twice, an edge end not defined
//        before it): stop is then that line's byte offset and `line` its
//        number, for the Python reader to go on from. nodes and edges:
//        records added; run: records of the last kind added in a row.
//        progress(n), when not None, is called every 1024 records.
//   Builder.add_csv(path, nodes, progress) -> the same tuple
//        the same for nodes.csv (nodes true) or edges.csv of the CSV
//        format; stop and line name the first line of the row (0 and 1
//        when the header is declined).
//   Builder.finish()             writes and flushes everything
//   Builder.close()              drops the builder (unfinished work is
//                                left in a file to be thrown away)
// Batches are whole columns, so one call carries many records. add_table's
// errors name the problem in the words of the Python readers, with a
// `problem` attribute "format" for input that breaks the table layout. A value
// refused during conversion raises the conversion's own error (as
// orvi.GraphDB.add_node would) with the record's position in the batch as
// its `batch_index` attribute; the records of the batch before it were
// added. Errors of the builder itself carry `batch_index` too: ValueError
// for refused input, OSError for I/O, FormatError for a damaged file;
// after one the builder refuses further work.
#include "python/pyref.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <new>
#include <string>
#include <vector>

#include "graph/builder.h"
#include "storage/lock.h"
#include "storage/reader_lock.h"
#include "storage/text.h"
#include "python/capi.h"
#include "python/prop_from_py.h"
#include "tools/arrow_table.h"
#include "tools/engine.h"
#include "tools/json_lines.h"
#include "tools/key_map.h"
#include "tools/tools.h"

namespace orvi::tools {

namespace {

using py::PyRef;

struct PyBuilder {
  PyObject_HEAD
  std::string path;
  // The file's writer lock, held while the builder is open, so that a
  // build in progress is told apart from a copy a killed run left behind.
  std::optional<WriterLock> lock;
  std::unique_ptr<GraphBuilder> builder;  // null once closed
  KeyMap keys;  // the node keys of add_table
  // The writer mark on the built file, held for the object's whole life
  // (past close()): an import renames the file over a database and closes
  // that database's writer afterwards, and in between its readers must
  // find the new file marked, not refuse it as held by a writer that takes
  // no reader locks. Nothing is written after close(), so a reader may read.
  std::shared_ptr<WriterGate> mark;
};

PyTypeObject* g_builder_type = nullptr;

PyBuilder* self_of(PyObject* obj) { return reinterpret_cast<PyBuilder*>(obj); }

GraphBuilder* open_builder(PyObject* obj) {
  GraphBuilder* b = self_of(obj)->builder.get();
  if (b == nullptr) PyErr_SetString(PyExc_ValueError, "the builder is closed");
  return b;
}

std::nullptr_t raise_builder_error(PyBuilder& self, const OrviError& error) {
  if (error.kind() == ErrorKind::kInvalidArgument ||
      error.kind() == ErrorKind::kCapacityExceeded) {
    PyErr_SetString(PyExc_ValueError, error.detail().c_str());
    return nullptr;
  }
  return raise(error, self.path);
}

std::nullptr_t raise_builder_error(PyObject* obj, const OrviError& error) {
  return raise_builder_error(*self_of(obj), error);
}

// Marks the pending conversion error with the record's batch position.
std::nullptr_t at_index(Py_ssize_t i) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef index(PyLong_FromSsize_t(i));
  if (value != nullptr && index) {
    PyObject_SetAttrString(value, "batch_index", index.get());
  }
  PyErr_Restore(type, value, tb);
  return nullptr;
}

// A list argument of exactly `n` items (n < 0: any length).
PyObject* list_arg(PyObject* obj, const char* what, Py_ssize_t n) {
  if (!PyList_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be a list, not %.50s", what,
                 Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  if (n >= 0 && PyList_GET_SIZE(obj) != n) {
    PyErr_Format(PyExc_ValueError, "%s must have one item per record", what);
    return nullptr;
  }
  return obj;
}

// The stored encoding of a record's properties (empty for None), made by
// the orvi module so that values convert exactly as add_node's do.
bool props_of(PyObject* obj, PyRef& out) {
  if (obj == Py_None) {
    out = PyRef(PyBytes_FromStringAndSize(nullptr, 0));
    return static_cast<bool>(out);
  }
  if (!PyDict_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "properties must be a dict, not %.50s",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  const OrviCApi* api = orvi_capi();
  out = PyRef(api ? api->encode_props(obj) : nullptr);
  return static_cast<bool>(out);
}

bool str_of(PyObject* obj, const char* what, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.50s", what,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool labels_of(PyObject* obj, PyRef& out) {
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    PyErr_Format(PyExc_TypeError,
                 "labels must be a list of str, not %.50s",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  const OrviCApi* api = orvi_capi();
  out = PyRef(api ? api->encode_labels(obj) : nullptr);
  return static_cast<bool>(out);
}

// The view of a bytes object's contents.
std::string_view view_of(const PyRef& bytes) {
  return std::string_view(PyBytes_AS_STRING(bytes.get()),
                          static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

bool id_of(PyObject* obj, uint64_t& out) {
  if (!PyLong_Check(obj) && !PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "a node id must be an int, not %.50s",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  return py::index_as_u64(obj, out);
}

PyObject* builder_add_nodes(PyObject* obj, PyObject* args) {
  PyObject *labels, *props;
  if (!PyArg_ParseTuple(args, "OO:add_nodes", &labels, &props)) return nullptr;
  GraphBuilder* b = open_builder(obj);
  if (b == nullptr || !list_arg(labels, "labels", -1) ||
      !list_arg(props, "properties", PyList_GET_SIZE(labels))) {
    return nullptr;
  }
  const uint64_t first = b->next_node_id();
  PyRef node_labels, node_props;
  // The lists are read item by item: a conversion hook that changes them
  // meets the size checks again on the next item.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(labels); ++i) {
    if (i >= PyList_GET_SIZE(props)) {
      PyErr_SetString(PyExc_RuntimeError, "a batch changed while being read");
      return nullptr;
    }
    PyRef item_labels = PyRef::borrow(PyList_GET_ITEM(labels, i));
    PyRef item_props = PyRef::borrow(PyList_GET_ITEM(props, i));
    if (!labels_of(item_labels.get(), node_labels) ||
        !props_of(item_props.get(), node_props)) {
      return at_index(i);
    }
    auto id = b->add_node(view_of(node_labels), view_of(node_props));
    if (!id) {
      raise_builder_error(obj, id.error());
      return at_index(i);
    }
  }
  return PyLong_FromUnsignedLongLong(first);
}

PyObject* builder_add_edges(PyObject* obj, PyObject* args) {
  PyObject *sources, *labels, *targets, *props;
  if (!PyArg_ParseTuple(args, "OOOO:add_edges", &sources, &labels, &targets,
                        &props)) {
    return nullptr;
  }
  GraphBuilder* b = open_builder(obj);
  if (b == nullptr || !list_arg(sources, "sources", -1)) return nullptr;
  const Py_ssize_t n = PyList_GET_SIZE(sources);
  if (!list_arg(labels, "labels", n) || !list_arg(targets, "targets", n) ||
      !list_arg(props, "properties", n)) {
    return nullptr;
  }
  const uint64_t first = b->next_edge_id();
  PyRef edge_props;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sources); ++i) {
    if (i >= PyList_GET_SIZE(labels) || i >= PyList_GET_SIZE(targets) ||
        i >= PyList_GET_SIZE(props)) {
      PyErr_SetString(PyExc_RuntimeError, "a batch changed while being read");
      return nullptr;
    }
    PyRef item_source = PyRef::borrow(PyList_GET_ITEM(sources, i));
    PyRef item_label = PyRef::borrow(PyList_GET_ITEM(labels, i));
    PyRef item_target = PyRef::borrow(PyList_GET_ITEM(targets, i));
    PyRef item_props = PyRef::borrow(PyList_GET_ITEM(props, i));
    uint64_t from = 0, to = 0;
    std::string label;
    if (!id_of(item_source.get(), from) || !id_of(item_target.get(), to) ||
        !str_of(item_label.get(), "the edge label", label) ||
        !props_of(item_props.get(), edge_props)) {
      return at_index(i);
    }
    auto id = b->add_edge(from, std::move(label), to, view_of(edge_props));
    if (!id) {
      raise_builder_error(obj, id.error());
      return at_index(i);
    }
  }
  return PyLong_FromUnsignedLongLong(first);
}


// ---- add_table ---------------------------------------------------------------

// Sets ValueError(message) for row `row` of the batch; `format`: input
// that breaks the table layout rather than a record the database refuses.
std::nullptr_t row_error(Py_ssize_t row, PyObject* message, bool format) {
  if (message == nullptr) return at_index(row);
  PyErr_SetObject(PyExc_ValueError, message);
  if (format) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef problem(PyUnicode_FromString("format"));
    if (value != nullptr && problem) {
      PyObject_SetAttrString(value, "problem", problem.get());
    }
    PyErr_Restore(type, value, tb);
  }
  return at_index(row);
}

PyObject* key_object(const NodeKey& key) {
  if (key.is_text) {
    return PyUnicode_DecodeUTF8(key.text.data(),
                                static_cast<Py_ssize_t>(key.text.size()),
                                "strict");
  }
  return key.negative
             ? PyLong_FromLongLong(static_cast<long long>(key.bits))
             : PyLong_FromUnsignedLongLong(key.bits);
}

// "node 'a' is defined twice", with the key as Python shows it.
PyObject* key_message(const char* format, const NodeKey& key) {
  PyRef obj(key_object(key));
  return obj ? PyUnicode_FromFormat(format, obj.get()) : nullptr;
}

// One column of a batch as it is read: in place, or from Python values.
struct Source {
  const ArrowColumn* column = nullptr;
  PyObject* values = nullptr;  // a list, borrowed from the values dict
};

class TableLoader {
 public:
  TableLoader(PyBuilder& self, GraphBuilder& builder, const ArrowBatch& batch,
              bool nodes, PyObject* absent)
      : self_(self), builder_(builder), batch_(batch), nodes_(nodes),
        absent_(absent) {}

  // Finds every column; false with an error set for a malformed plan. The
  // columns that need Python values and lack them go to `missing`.
  bool plan(PyObject* properties, PyObject* values, PyObject* missing) {
    if (nodes_) {
      if (!fixed("id", true, values, missing, keys_[0]) ||
          !fixed("labels", false, values, missing, labels_)) {
        return false;
      }
    } else if (!fixed("from_node", true, values, missing, keys_[0]) ||
               !fixed("to_node", true, values, missing, keys_[1]) ||
               !fixed("label", false, values, missing, labels_)) {
      return false;
    }
    PyRef items(PySequence_Fast(properties, "properties must be a list"));
    json_missing_ = PyRef(PyList_New(0));
    if (!items || !json_missing_) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
      PyObject *column, *name;
      int null_is_none, json = 0;
      if (!PyArg_ParseTuple(item, "UUp|p", &column, &name, &null_is_none, &json)) {
        return false;
      }
      Prop prop;
      std::string column_name;
      if (!str_of(column, "a column name", column_name) ||
          !str_of(name, "a property name", prop.name)) {
        return false;
      }
      prop.null_is_none = null_is_none != 0;
      if (!find(column_name, values, missing, prop.source)) return false;
      if (json != 0 && prop.source.column != nullptr &&
          !decode_json(column_name, prop, json_missing_.get())) {
        return false;
      }
      props_.push_back(std::move(prop));
    }
    // Entries in key order; of columns that name one property, the last
    // present one in table order gives the value, as a dict built column
    // by column would keep it.
    std::stable_sort(props_.begin(), props_.end(),
                     [](const Prop& a, const Prop& b) { return a.name < b.name; });
    // Columns of JSON texts are asked for first, as the Python reader
    // decodes them before it looks at any other column.
    return PyList_SetSlice(missing, 0, 0, json_missing_.get()) == 0;
  }

  // Adds every row; nullptr with an error set (marked with the row) when
  // one is refused.
  PyObject* run() {
    const int64_t rows = batch_.rows();
    if (!nodes_) return run_edges();
    for (int64_t row = 0; row < rows; ++row) {
      if (!add_node(row)) return at_index(static_cast<Py_ssize_t>(row));
    }
    return PyLong_FromLongLong(rows);
  }

 private:
  struct Prop {
    std::string name;
    bool null_is_none = false;
    Source source;
    // A column of tagged JSON texts, decoded here: each row's encoded value
    // (a null cell: none) at json_at[row] .. json_at[row + 1] of json.
    bool json = false;
    Bytes json_values;
    std::vector<size_t> json_at;
  };

  // Decodes a column of tagged JSON texts; one the parser declines (or not
  // a column of strings) is asked for as Python values instead, so that
  // its values and errors are the Python decoder's.
  bool decode_json(const std::string& column_name, Prop& prop, PyObject* missing) {
    const ArrowColumn* c = prop.source.column;
    const int64_t rows = batch_.rows();
    bool ok = c->is_string();
    prop.json = true;
    prop.json_at.assign(1, 0);
    for (int64_t row = 0; ok && row < rows; ++row) {
      if (c->valid(row)) {
        ok = json_parser_.parse_value_cell(c->string(row), prop.json_values);
      } else if (prop.null_is_none) {
        prop_write::null(prop.json_values);
      }
      prop.json_at.push_back(prop.json_values.size());
    }
    if (ok) return true;
    prop.json = false;
    prop.source.column = nullptr;
    PyRef text(PyUnicode_FromStringAndSize(
        column_name.data(), static_cast<Py_ssize_t>(column_name.size())));
    return text && PyList_Append(missing, text.get()) == 0;
  }

  bool find(const std::string& name, PyObject* values, PyObject* missing,
            Source& out) {
    PyObject* given = PyDict_GetItemString(values, name.c_str());
    if (given != nullptr) {
      if (!PyList_Check(given) || PyList_GET_SIZE(given) != batch_.rows()) {
        PyErr_Format(PyExc_ValueError,
                     "the values of column %s must be a list of one item "
                     "per row", name.c_str());
        return false;
      }
      out.values = given;
      return true;
    }
    out.column = batch_.column(name, nullptr);
    if (out.column == nullptr) {
      PyRef text(PyUnicode_FromStringAndSize(name.data(),
                                             static_cast<Py_ssize_t>(name.size())));
      if (!text || PyList_Append(missing, text.get()) < 0) return false;
    }
    return true;
  }

  // A fixed column: in place when its Arrow type is the one its role
  // needs, else from Python values. An optional column may be absent.
  bool fixed(const char* name, bool required, PyObject* values,
             PyObject* missing, Source& out) {
    bool exists = false;
    batch_.column(name, &exists);
    if (!exists && !required) return true;
    if (!exists) {
      PyErr_Format(PyExc_ValueError, "missing column %s", name);
      return false;
    }
    if (!find(name, values, missing, out)) return false;
    const ArrowColumn* c = out.column;
    if (c == nullptr) return true;
    const std::string_view role(name);
    bool fits;
    if (role == "labels") {
      fits = c->type() == ArrowColumn::Type::kNull ||
             (c->is_list() && (c->element().is_string() ||
                               c->element().type() == ArrowColumn::Type::kNull));
    } else if (role == "label") {
      fits = c->is_string() || c->type() == ArrowColumn::Type::kNull;
    } else {
      fits = c->is_integer() || c->is_string();
    }
    if (!fits) {
      out.column = nullptr;
      PyRef text(PyUnicode_FromString(name));
      if (!text || PyList_Append(missing, text.get()) < 0) return false;
    }
    return true;
  }

  // The node key of `row` from source `which`; false with an error set.
  bool key(int which, int64_t row, NodeKey& out) {
    const Source& s = keys_[which];
    const char* column = nodes_ ? "id" : (which == 0 ? "from_node" : "to_node");
    if (s.column != nullptr) {
      if (!s.column->valid(row)) {
        row_error(static_cast<Py_ssize_t>(row),
                  PyUnicode_FromFormat("%s must be an integer or a string, "
                                       "not NoneType", column),
                  true);
        return false;
      }
      if (s.column->is_integer()) {
        out.is_text = false;
        out.negative = s.column->integer(row, out.bits);
      } else {
        out.is_text = true;
        out.text = s.column->string(row);
        if (!is_valid_utf8(out.text)) {
          return not_utf8(row, column);
        }
      }
      return true;
    }
    PyObject* item = PyList_GET_ITEM(s.values, row);
    if (PyUnicode_Check(item)) {
      if (!str_of(item, "a node id", text_keys_[which])) return false;
      out.is_text = true;
      out.text = text_keys_[which];
      return true;
    }
    if (PyLong_Check(item) && !PyBool_Check(item)) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
      if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
        out.is_text = false;
        out.negative = v < 0;
        out.bits = static_cast<uint64_t>(v);
        return true;
      }
      PyErr_Clear();
      const unsigned long long u = PyLong_AsUnsignedLongLong(item);
      if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        out.is_text = false;
        out.negative = false;
        out.bits = u;
        return true;
      }
      return false;
    }
    PyErr_Format(PyExc_TypeError, "%s must be an integer or a string, not %.50s",
                 column, Py_TYPE(item)->tp_name);
    return false;
  }

  bool not_utf8(int64_t row, const char* column) {
    row_error(static_cast<Py_ssize_t>(row),
              PyUnicode_FromFormat("column %s is not UTF-8 text", column),
              true);
    return false;
  }

  bool encode_props(int64_t row) {
    props_blob_.clear();
    chosen_.clear();
    for (size_t g = 0; g < props_.size();) {
      size_t end = g + 1;
      while (end < props_.size() && props_[end].name == props_[g].name) ++end;
      const Prop* pick = nullptr;
      for (size_t k = g; k < end; ++k) {
        const Prop& p = props_[k];
        const bool present =
            p.source.column != nullptr
                ? (p.null_is_none || p.source.column->valid(row))
                : PyList_GET_ITEM(p.source.values, row) != absent_;
        if (present) pick = &p;
      }
      if (pick != nullptr) chosen_.push_back(pick);
      g = end;
    }
    if (chosen_.empty()) return true;
    prop_write::map(chosen_.size(), props_blob_);
    for (const Prop* p : chosen_) {
      prop_write::map_key(p->name, props_blob_);
      if (p->json) {
        const size_t at = static_cast<size_t>(row);
        props_blob_.append(p->json_values, p->json_at[at],
                           p->json_at[at + 1] - p->json_at[at]);
        continue;
      }
      if (p->source.column != nullptr) {
        if (!p->source.column->encode(row, props_blob_)) {
          return not_utf8(row, p->name.c_str());
        }
        continue;
      }
      // Values sit where add_node's keyword arguments do, and convert as
      // they do.
      const OrviCApi* api = orvi_capi();
      PyRef value(api ? api->encode_value(PyList_GET_ITEM(p->source.values, row))
                      : nullptr);
      if (!value) return false;
      props_blob_.append(view_of(value));
    }
    return true;
  }

  bool encode_node_labels(int64_t row) {
    labels_blob_.clear();
    if (labels_.values != nullptr) {
      PyRef blob;
      if (!labels_of(PyList_GET_ITEM(labels_.values, row), blob)) return false;
      labels_blob_.assign(view_of(blob));
      return true;
    }
    const ArrowColumn* c = labels_.column;
    if (c == nullptr || !c->valid(row)) return true;
    int64_t begin, end;
    c->list_range(row, begin, end);
    if (begin == end) return true;
    prop_write::list(static_cast<size_t>(end - begin), labels_blob_);
    for (int64_t i = begin; i < end; ++i) {
      if (!c->element().valid(i)) {
        PyErr_SetString(PyExc_TypeError, "a label must be str, not NoneType");
        return false;
      }
      const std::string_view label = c->element().string(i);
      if (!is_valid_utf8(label)) return not_utf8(row, "labels");
      prop_write::string(label, labels_blob_);
    }
    return true;
  }

  bool encode_edge_label(int64_t row) {
    labels_blob_.clear();
    if (labels_.values != nullptr) {
      std::string label;
      if (!str_of(PyList_GET_ITEM(labels_.values, row), "the edge label", label)) {
        return false;
      }
      prop_write::string(label, labels_blob_);
      return true;
    }
    const ArrowColumn* c = labels_.column;
    std::string_view label;
    if (c != nullptr && c->valid(row)) label = c->string(row);
    if (!is_valid_utf8(label)) return not_utf8(row, "label");
    prop_write::string(label, labels_blob_);
    return true;
  }

  bool add_node(int64_t row) {
    NodeKey k;
    if (!key(0, row, k)) return false;
    if (self_.keys.find(k) != 0) {
      row_error(static_cast<Py_ssize_t>(row),
                key_message("node %R is defined twice", k), false);
      return false;
    }
    if (!encode_node_labels(row) || !encode_props(row)) return false;
    auto id = builder_.add_node(labels_blob_, props_blob_);
    if (!id) {
      raise_builder_error(self_, id.error());
      return false;
    }
    self_.keys.insert(k, *id);
    return true;
  }

  // Edges in two passes, so that the memory each one touches at random
  // (the key map, the slots of its two nodes) is fetched well before it is
  // used: first every row's ends, then the edges. A row whose ends are
  // refused stops the first pass; its error waits until the rows before it
  // are added, so errors come in row order as with one pass.
  PyObject* run_edges() {
    const int64_t rows = batch_.rows();
    ends_.resize(static_cast<size_t>(rows) * 2);
    int64_t resolved = 0;
    for (; resolved < rows; ++resolved) {
      if (resolved + kAhead < rows) prefetch_keys(resolved + kAhead);
      if (!resolve_ends(resolved)) break;
    }
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    if (resolved < rows) PyErr_Fetch(&type, &value, &tb);
    PyRef held_type(type), held_value(value), held_tb(tb);
    for (int64_t row = 0; row < resolved; ++row) {
      if (row + kAhead < resolved) {
        builder_.prefetch_node(ends_[2 * (row + kAhead)]);
        builder_.prefetch_node(ends_[2 * (row + kAhead) + 1]);
      }
      if (!add_edge(row)) return at_index(static_cast<Py_ssize_t>(row));
    }
    if (resolved < rows) {
      PyErr_Restore(held_type.release(), held_value.release(), held_tb.release());
      return at_index(static_cast<Py_ssize_t>(resolved));
    }
    return PyLong_FromLongLong(rows);
  }

  void prefetch_keys(int64_t row) const {
    for (const Source& s : keys_) {
      const ArrowColumn* c = s.column;
      if (c == nullptr || !c->is_integer() || !c->valid(row)) continue;
      NodeKey k;
      k.negative = c->integer(row, k.bits);
      self_.keys.prefetch(k);
    }
  }

  bool resolve_ends(int64_t row) {
    for (int which = 0; which < 2; ++which) {
      NodeKey k;
      if (!key(which, row, k)) return false;
      const uint64_t id = self_.keys.find(k);
      if (id == 0) {
        row_error(static_cast<Py_ssize_t>(row),
                  key_message("edge refers to node %R, which is not defined "
                              "before it", k),
                  false);
        return false;
      }
      ends_[2 * static_cast<size_t>(row) + which] = id;
    }
    return true;
  }

  bool add_edge(int64_t row) {
    if (!encode_edge_label(row) || !encode_props(row)) return false;
    const size_t at = 2 * static_cast<size_t>(row);
    auto id = builder_.add_edge_encoded(ends_[at], labels_blob_, ends_[at + 1],
                                        props_blob_);
    if (!id) {
      raise_builder_error(self_, id.error());
      return false;
    }
    return true;
  }

  // Rows between a prefetch and the use of what it fetched.
  static constexpr int64_t kAhead = 16;

  PyBuilder& self_;
  GraphBuilder& builder_;
  const ArrowBatch& batch_;
  const bool nodes_;
  PyObject* absent_;
  Source keys_[2];
  Source labels_;  // node labels or the edge label
  std::vector<uint64_t> ends_;  // each edge row's two node ids
  std::vector<Prop> props_;
  std::vector<const Prop*> chosen_;
  std::string text_keys_[2];
  JsonRecordParser json_parser_;
  PyRef json_missing_;
  Bytes labels_blob_;
  Bytes props_blob_;
};

PyObject* builder_add_table(PyObject* obj, PyObject* args) {
  PyObject *batch, *properties, *values, *absent;
  int nodes;
  if (!PyArg_ParseTuple(args, "OpOO!O:add_table", &batch, &nodes, &properties,
                        &PyDict_Type, &values, &absent)) {
    return nullptr;
  }
  GraphBuilder* b = open_builder(obj);
  if (b == nullptr) return nullptr;
  // The capsules own the batch's memory until they are dropped.
  PyRef capsules(PyObject_CallMethod(batch, "__arrow_c_array__", nullptr));
  if (!capsules) return nullptr;
  if (!PyTuple_Check(capsules.get()) || PyTuple_GET_SIZE(capsules.get()) != 2) {
    PyErr_SetString(PyExc_TypeError,
                    "__arrow_c_array__ must return a (schema, array) pair");
    return nullptr;
  }
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(
      PyTuple_GET_ITEM(capsules.get(), 0), "arrow_schema"));
  if (schema == nullptr) return nullptr;
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(
      PyTuple_GET_ITEM(capsules.get(), 1), "arrow_array"));
  if (array == nullptr) return nullptr;
  ArrowBatch table;
  if (!table.bind(*schema, *array)) {
    PyErr_SetString(PyExc_ValueError, "a batch must be a struct array of columns");
    return nullptr;
  }
  PyRef missing(PyList_New(0));
  if (!missing) return nullptr;
  TableLoader loader(*self_of(obj), *b, table, nodes != 0, absent);
  if (!loader.plan(properties, values, missing.get())) return nullptr;
  if (PyList_GET_SIZE(missing.get()) > 0) return missing.release();
  return loader.run();
}

// ---- add_jsonl -----------------------------------------------------------------

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};

// Lines of a file, each without its newline, in order.
class LineReader {
 public:
  explicit LineReader(FILE* f) : f_(f) {}

  // The next line and its byte offset; false at the end or on a read
  // error (error() tells).
  bool next(std::string_view& line, uint64_t& offset) {
    for (;;) {
      const size_t nl = buf_.find('\n', pos_);
      if (nl != std::string::npos) {
        line = std::string_view(buf_).substr(pos_, nl - pos_);
        offset = base_ + pos_;
        pos_ = nl + 1;
        return true;
      }
      if (eof_) {
        if (pos_ == buf_.size()) return false;
        line = std::string_view(buf_).substr(pos_);
        offset = base_ + pos_;
        pos_ = buf_.size();
        return true;
      }
      base_ += pos_;
      buf_.erase(0, pos_);
      pos_ = 0;
      const size_t have = buf_.size();
      buf_.resize(have + kChunk);
      const size_t got = fread(buf_.data() + have, 1, kChunk, f_);
      buf_.resize(have + got);
      if (got < kChunk) {
        eof_ = true;
        error_ = ferror(f_) != 0;
      }
    }
  }
  bool error() const { return error_; }

 private:
  static constexpr size_t kChunk = 1 << 20;
  FILE* f_;
  std::string buf_;
  size_t pos_ = 0;
  uint64_t base_ = 0;  // file offset of buf_[0]
  bool eof_ = false;
  bool error_ = false;
};

// Where a record read by a source begins, for the Python reader to go on
// from, and the line a message about it names.
struct Place {
  uint64_t offset = 0;  // byte offset of the record's first line
  uint64_t line = 0;    // number of that line
  uint64_t last = 0;    // number of its last line
};

enum class Next { kRecord, kDecline, kEnd };

// The records of a JSON Lines file.
class JsonLinesSource {
 public:
  explicit JsonLinesSource(FILE* f) : lines_(f) {}

  Next next(ImportRecord& record, Place& place) {
    std::string_view line;
    while (lines_.next(line, place.offset)) {
      place.line = place.last = ++number_;
      switch (parser_.parse_line(line, record)) {
        case JsonRecordParser::Outcome::kRecord:
          return Next::kRecord;
        case JsonRecordParser::Outcome::kDecline:
          return Next::kDecline;
        case JsonRecordParser::Outcome::kBlank:
          break;
      }
    }
    return Next::kEnd;
  }
  bool error() const { return lines_.error(); }

 private:
  LineReader lines_;
  JsonRecordParser parser_;
  uint64_t number_ = 0;
};

// The rows of nodes.csv or edges.csv (the columns of exchange.py).
class CsvSource {
 public:
  CsvSource(FILE* f, bool nodes) : lines_(f), nodes_(nodes) {}

  Next next(ImportRecord& record, Place& place) {
    for (;;) {
      const Next got = row(place);
      if (got != Next::kRecord) return got;
      if (!header_done_) {
        if (!header()) return Next::kDecline;
        header_done_ = true;
        continue;
      }
      const auto& cells = rows_.cells();
      if (cells.size() > columns_.size()) return Next::kDecline;
      auto cell = [&](Column c) -> std::string_view {
        const size_t at = index_[c];
        return at < cells.size() ? std::string_view(cells[at]) : std::string_view();
      };
      record.is_node = nodes_;
      record.key.is_text = record.target.is_text = true;
      if (nodes_) {
        record.key.text = cell(kId);
        if (record.key.text.empty() ||
            !parser_.parse_labels_cell(cell(kLabels), record.labels)) {
          return Next::kDecline;
        }
      } else {
        record.key.text = cell(kFrom);
        record.target.text = cell(kTo);
        record.labels.clear();
        prop_write::string(cell(kLabel), record.labels);
      }
      return parser_.parse_props_cell(cell(kProperties), record.props)
                 ? Next::kRecord
                 : Next::kDecline;
    }
  }
  bool error() const { return lines_.error(); }

 private:
  enum Column { kId, kLabels, kLabel, kFrom, kTo, kProperties, kColumns };

  // The next row that has cells; kRecord when there is one.
  Next row(Place& place) {
    std::string_view line;
    uint64_t offset;
    bool first = true;
    while (lines_.next(line, offset)) {
      ++number_;
      if (first) {
        place.offset = offset;
        place.line = number_;
        first = false;
      }
      place.last = number_;
      switch (rows_.add_line(line)) {
        case CsvRowParser::Outcome::kRow:
          return Next::kRecord;
        case CsvRowParser::Outcome::kDecline:
          return Next::kDecline;
        case CsvRowParser::Outcome::kBlank:
          // A blank first line is a header without columns.
          if (!header_done_) return Next::kDecline;
          first = true;
          break;
        case CsvRowParser::Outcome::kNeedLine:
          break;
      }
    }
    // The end of the file inside a quoted cell, or before a header, is for
    // the Python reader.
    if (first && header_done_) return Next::kEnd;
    if (first) place = Place{0, 1, 1};
    return Next::kDecline;
  }

  // Takes the header row when it names each column at most once and only
  // columns of the table, the required ones among them.
  bool header() {
    static constexpr const char* kNames[kColumns] = {
        "id", "labels", "label", "from", "to", "properties"};
    const auto& cells = rows_.cells();
    columns_ = cells;
    std::fill(std::begin(index_), std::end(index_), SIZE_MAX);
    for (size_t i = 0; i < cells.size(); ++i) {
      int found = -1;
      for (int c = 0; c < kColumns; ++c) {
        if (cells[i] == kNames[c]) found = c;
      }
      const bool allowed =
          found >= 0 && (nodes_ ? found == kId || found == kLabels ||
                                      found == kProperties
                                : found != kLabels);
      if (!allowed || index_[found] != SIZE_MAX) return false;
      index_[found] = i;
    }
    return nodes_ ? index_[kId] != SIZE_MAX
                  : index_[kFrom] != SIZE_MAX && index_[kTo] != SIZE_MAX;
  }

  LineReader lines_;
  CsvRowParser rows_;
  JsonRecordParser parser_;
  const bool nodes_;
  bool header_done_ = false;
  uint64_t number_ = 0;
  std::vector<std::string> columns_;
  size_t index_[kColumns] = {};
};

// Adds the records of `source` until its end or the first one it declines
// or that breaks a rule of the import (a node key defined twice, an edge
// end not defined before it); see add_jsonl at the top.
template <class Source>
PyObject* add_from(PyObject* obj, Source& source, PyObject* progress,
                   const std::string& path) {
  PyBuilder& self = *self_of(obj);
  GraphBuilder& b = *self.builder;
  ImportRecord record;
  Place place;
  uint64_t nodes = 0, edges = 0, run = 0, step = 0;
  bool last_is_node = true;
  Next got;
  while ((got = source.next(record, place)) == Next::kRecord) {
    uint64_t from = 0, to = 0;
    if (record.is_node) {
      if (self.keys.find(record.key) != 0) break;
    } else {
      from = self.keys.find(record.key);
      to = self.keys.find(record.target);
      if (from == 0 || to == 0) break;
    }
    Result<uint64_t> id =
        record.is_node ? b.add_node(record.labels, record.props)
                       : b.add_edge_encoded(from, record.labels, to, record.props);
    if (!id) {
      raise_builder_error(self, id.error());
      return at_index(static_cast<Py_ssize_t>(place.last));
    }
    if (record.is_node) {
      self.keys.insert(record.key, *id);
      ++nodes;
    } else {
      ++edges;
    }
    run = record.is_node == last_is_node ? run + 1 : 1;
    last_is_node = record.is_node;
    if (++step == 1024) {
      step = 0;
      if (progress != Py_None) {
        PyRef done(PyObject_CallFunction(progress, "i", 1024));
        if (!done) return nullptr;
      }
      if (PyErr_CheckSignals() < 0) return nullptr;
    }
  }
  if (source.error()) {
    errno = EIO;
    return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  }
  if (progress != Py_None && step > 0) {
    PyRef done(PyObject_CallFunction(progress, "K",
                                     static_cast<unsigned long long>(step)));
    if (!done) return nullptr;
  }
  PyRef stop(got == Next::kEnd ? py::new_none()
                               : PyLong_FromUnsignedLongLong(place.offset));
  if (!stop) return nullptr;
  return Py_BuildValue("(OKKKOK)", stop.get(),
                       static_cast<unsigned long long>(place.line),
                       static_cast<unsigned long long>(nodes),
                       static_cast<unsigned long long>(edges),
                       last_is_node ? Py_True : Py_False,
                       static_cast<unsigned long long>(run));
}

FILE* open_input(PyObject* obj, PyObject* path_arg, std::string& path,
                 std::unique_ptr<FILE, FileCloser>& file) {
  if (open_builder(obj) == nullptr || !path_of(path_arg, path)) return nullptr;
  file.reset(fopen(path.c_str(), "rb"));
  if (!file) PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  return file.get();
}

PyObject* builder_add_jsonl(PyObject* obj, PyObject* args) {
  PyObject *path_arg, *progress;
  if (!PyArg_ParseTuple(args, "OO:add_jsonl", &path_arg, &progress)) {
    return nullptr;
  }
  std::string path;
  std::unique_ptr<FILE, FileCloser> file;
  if (open_input(obj, path_arg, path, file) == nullptr) return nullptr;
  JsonLinesSource source(file.get());
  return add_from(obj, source, progress, path);
}

PyObject* builder_add_csv(PyObject* obj, PyObject* args) {
  PyObject *path_arg, *progress;
  int nodes;
  if (!PyArg_ParseTuple(args, "OpO:add_csv", &path_arg, &nodes, &progress)) {
    return nullptr;
  }
  std::string path;
  std::unique_ptr<FILE, FileCloser> file;
  if (open_input(obj, path_arg, path, file) == nullptr) return nullptr;
  CsvSource source(file.get(), nodes != 0);
  return add_from(obj, source, progress, path);
}

PyObject* builder_key_ids(PyObject* obj, PyObject*) {
  const KeyMap& keys = self_of(obj)->keys;
  std::vector<std::pair<uint64_t, NodeKey>> entries;
  entries.reserve(keys.size());
  keys.for_each([&](const NodeKey& k, uint64_t id) { entries.emplace_back(id, k); });
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [id, k] : entries) {
    PyRef key(key_object(k));
    PyRef value(PyLong_FromUnsignedLongLong(id));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

PyObject* builder_first_node_id(PyObject* obj, PyObject*) {
  GraphBuilder* b = open_builder(obj);
  return b ? PyLong_FromUnsignedLongLong(b->first_node_id()) : nullptr;
}

PyObject* builder_finish(PyObject* obj, PyObject*) {
  GraphBuilder* b = open_builder(obj);
  if (b == nullptr) return nullptr;
  Status done = b->finish();
  if (!done) return raise_builder_error(obj, done.error());
  return py::new_none();
}

PyObject* builder_close(PyObject* obj, PyObject*) {
  self_of(obj)->builder.reset();
  self_of(obj)->lock.reset();
  return py::new_none();
}

void builder_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  self_of(obj)->~PyBuilder();
  type->tp_free(obj);
  Py_DECREF(type);
}

PyMethodDef builder_methods[] = {
    {"first_node_id", builder_first_node_id, METH_NOARGS,
     "The id of the builder's first node."},
    {"add_nodes", builder_add_nodes, METH_VARARGS,
     "Adds a batch of nodes; returns the first one's id."},
    {"add_edges", builder_add_edges, METH_VARARGS,
     "Adds a batch of edges; returns the first one's id."},
    {"add_table", builder_add_table, METH_VARARGS,
     "Adds the rows of an Arrow record batch of a node or edge table."},
    {"add_jsonl", builder_add_jsonl, METH_VARARGS,
     "Adds the records of a JSON Lines file up to the first it declines."},
    {"add_csv", builder_add_csv, METH_VARARGS,
     "Adds the rows of nodes.csv or edges.csv up to the first it declines."},
    {"key_ids", builder_key_ids, METH_NOARGS,
     "The node keys of add_table and their ids."},
    {"finish", builder_finish, METH_NOARGS,
     "Writes everything and flushes the file."},
    {"close", builder_close, METH_NOARGS, "Drops the builder."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot builder_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(builder_dealloc)},
    {Py_tp_methods, builder_methods},
    {0, nullptr}};

PyType_Spec builder_spec = {"orvi_tools._engine.Builder", sizeof(PyBuilder),
                            0, Py_TPFLAGS_DEFAULT, builder_slots};

}  // namespace

PyObject* engine_builder(PyObject*, PyObject* arg) {
  std::string path;
  if (!path_of(arg, path)) return nullptr;
  if (g_builder_type == nullptr) {
    g_builder_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&builder_spec));
    if (g_builder_type == nullptr) return nullptr;
    g_builder_type->tp_new = nullptr;  // only builder() makes them
  }
  char real[PATH_MAX];
  auto lock = WriterLock::acquire(::realpath(path.c_str(), real) ? real : path);
  if (!lock) return raise(lock.error(), path);
  auto opened = GraphBuilder::open(path);
  if (!opened) return raise(opened.error(), path);
  PyObject* obj = g_builder_type->tp_alloc(g_builder_type, 0);
  if (!obj) return nullptr;
  new (&self_of(obj)->path) std::string(path);
  new (&self_of(obj)->lock) std::optional<WriterLock>(std::move(*lock));
  new (&self_of(obj)->builder) std::unique_ptr<GraphBuilder>(std::move(*opened));
  new (&self_of(obj)->keys) KeyMap();
  // Without the mark readers are refused for that short window (as they
  // were before): nothing to fail the build for.
  auto mark = WriterGate::open(path);
  new (&self_of(obj)->mark) std::shared_ptr<WriterGate>(
      mark ? std::move(*mark) : nullptr);
  return obj;
}

}  // namespace orvi::tools
