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
//   Builder.finish()             writes and flushes everything
//   Builder.close()              drops the builder (unfinished work is
//                                left in a file to be thrown away)
// Batches are whole columns, so one call carries many records. A value
// refused during conversion raises the conversion's own error (as
// orvi.GraphDB.add_node would) with the record's position in the batch as
// its `batch_index` attribute; the records of the batch before it were
// added. Errors of the builder itself carry `batch_index` too: ValueError
// for refused input, OSError for I/O, FormatError for a damaged file;
// after one the builder refuses further work.
#include "python/pyref.h"

#include <limits.h>
#include <stdlib.h>

#include <memory>
#include <optional>
#include <new>
#include <string>
#include <vector>

#include "graph/builder.h"
#include "storage/lock.h"
#include "python/capi.h"
#include "tools/engine.h"
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
};

PyTypeObject* g_builder_type = nullptr;

PyBuilder* self_of(PyObject* obj) { return reinterpret_cast<PyBuilder*>(obj); }

GraphBuilder* open_builder(PyObject* obj) {
  GraphBuilder* b = self_of(obj)->builder.get();
  if (b == nullptr) PyErr_SetString(PyExc_ValueError, "the builder is closed");
  return b;
}

std::nullptr_t raise_builder_error(PyObject* obj, const OrviError& error) {
  if (error.kind() == ErrorKind::kInvalidArgument ||
      error.kind() == ErrorKind::kCapacityExceeded) {
    PyErr_SetString(PyExc_ValueError, error.detail().c_str());
    return nullptr;
  }
  return raise(error, self_of(obj)->path);
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
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  out = PyLong_AsUnsignedLongLong(index.get());
  return !(out == static_cast<uint64_t>(-1) && PyErr_Occurred());
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
  return obj;
}

}  // namespace orvi::tools
