// The orvi module's private C interface, for the other extension modules of
// this project (orvi_tools._engine). It is exported as the capsule
// `orvi._C_API` holding one OrviCApi; a user imports it with
// orvi_import_capi() and checks the version it needs.
//
// Each module links its own copy of the core, so nothing here hands out a
// C++ type of the binding: C functions and plain structs only. The one
// exception is the core GraphDB* of acquire_graphdb, which a module may use
// only when graphdb_size equals its own sizeof(orvi::GraphDB), i.e. when it
// was built from the same sources.
//
// Adding an entry: append a field at the end of OrviCApi (never reorder or
// remove one), fill it in capi.cpp, and bump kOrviCApiVersion; a user that
// needs the new entry asks for that version in orvi_import_capi().
#ifndef ORVI_PYTHON_CAPI_H_
#define ORVI_PYTHON_CAPI_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>

inline constexpr unsigned kOrviCApiVersion = 3;
inline constexpr const char kOrviCApiName[] = "orvi._C_API";

// A node or edge record as a read returns it: the blobs in their stored
// encoding, checked by the read (the bytes are copied by new_node/new_edge).
struct OrviNodeRecord {
  uint64_t id;
  const char* label_blob;
  size_t label_len;
  const char* prop_blob;
  size_t prop_len;
};

struct OrviEdgeRecord {
  uint64_t id;
  uint64_t from_node;
  uint64_t to_node;
  const char* label;  // the label text (UTF-8)
  size_t label_len;
  const char* prop_blob;
  size_t prop_len;
};

struct OrviCApi {
  unsigned version;
  // sizeof(orvi::GraphDB) in the orvi module.
  size_t graphdb_size;
  // 1 when `obj` is an orvi.GraphDB (or a subclass), else 0; sets no error.
  int (*is_graphdb)(PyObject* obj);
  // Locks the handle of the orvi.GraphDB `db` and returns its core
  // orvi::GraphDB*; nullptr with the binding's own exception set when the
  // handle is closed or unusable (ValueError, RuntimeError, ...), TypeError
  // when `db` is no orvi.GraphDB. While it is held no Python code may call
  // into the same database; release_graphdb(db) unlocks it.
  void* (*acquire_graphdb)(PyObject* db);
  void (*release_graphdb)(PyObject* db);
  // New orvi.Node / orvi.Edge objects from records; nullptr with an error
  // set when memory runs out.
  PyObject* (*new_node)(const OrviNodeRecord* record);
  PyObject* (*new_edge)(const OrviEdgeRecord* record);

  // Version 2.
  // The node id of a node argument as GraphDB's methods take one (an
  // orvi.Node or a non-negative integer): 0 with the id in `*out`, -1 with
  // the binding's own ValueError or OverflowError set.
  int (*node_id_of)(PyObject* value, uint64_t* out);
  // The process's registry of reader snapshots (storage/reader_lock.h),
  // which the orvi module's writers break before they write a file: a
  // reader in another module registers here, not in its own copy. The
  // breaker runs with the interpreter lock held and must not call Python.
  uint64_t (*register_snapshot)(uint64_t dev, uint64_t ino,
                                void (*breaker)(void* context), void* context);
  void (*unregister_snapshot)(uint64_t token);
  // Raises the exception the orvi module raises for a core error of kind
  // `kind` (an orvi::ErrorKind value) whose full text is the `len` bytes
  // at `message`, and returns nullptr.
  PyObject* (*raise_error)(int kind, const char* message, size_t len);
  // The stored encoding of a dict of properties (str keys, values converted
  // as add_node's keyword arguments) or of a list or tuple of str labels,
  // as a new bytes object; empty for an empty dict or list, as nothing is
  // stored then. nullptr with the conversion's error set (TypeError
  // "a label must be str, not <type>" for a label).
  PyObject* (*encode_props)(PyObject* dict);
  PyObject* (*encode_labels)(PyObject* labels);
  // The stored encoding of one property value, converted as a keyword
  // argument of add_node is; nullptr with the conversion's error set.
  PyObject* (*encode_value)(PyObject* value);

  // Version 3.
  // The dicts GraphDB.all_nodes_as_records() / all_edges_as_records() give
  // for one record; nullptr with an error set.
  PyObject* (*node_record)(const OrviNodeRecord* record);
  PyObject* (*edge_record)(const OrviEdgeRecord* record);
};

// The orvi module's table, imported once; nullptr with an error set when
// the module cannot be imported or its table is older than `min_version`.
inline const OrviCApi* orvi_import_capi(unsigned min_version) {
  static const OrviCApi* api = nullptr;
  if (api == nullptr) {
    api = static_cast<const OrviCApi*>(PyCapsule_Import(kOrviCApiName, 0));
    if (api == nullptr) return nullptr;
  }
  if (api->version < min_version) {
    PyErr_Format(PyExc_ImportError,
                 "the orvi module's C interface is version %u; %u is needed",
                 api->version, min_version);
    return nullptr;
  }
  return api;
}

#endif  // ORVI_PYTHON_CAPI_H_
