// orvi.Transaction: the context manager returned by GraphDB.transaction().
//
// A Transaction holds another counted reference to the shared handle of
// the GraphDB that made it and keeps no state of its own: the explicit-
// transaction flag lives in the core GraphDB, so every object of one
// handle sees the same flag. __enter__ tests and sets the flag under the
// lock (a block inside another block of the same handle is refused);
// __exit__ commits everything pending on a clean exit, or rolls back when
// the block raised, and clears the flag either way.
#include <utility>

#include "python/args.h"
#include "python/frame.h"
#include "python/types.h"

namespace orvi::py {

namespace {

PyTypeObject* g_transaction_type = nullptr;

constexpr const char kEnterDoc[] =
    "__enter__($self)\n--\n\n"
    "Entering the block sets the explicit-transaction flag, so a "
    "`with db.transaction():` nested inside another raises TransactionError "
    "at the inner __enter__.";

PyObject* transaction_enter(PyObject* self, PyObject*) {
  return guarded([&] {
    return call_core(
        handle_of(self),
        [](GraphDB& db) -> Status {
          if (db.in_transaction()) {
            return OrviError::transaction_failed("transaction already active");
          }
          db.set_in_transaction(true);
          return Ok();
        },
        [&] {
          Py_INCREF(self);
          return self;
        });
  });
}

constexpr const char kExitDoc[] =
    "__exit__($self, exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n";

PyObject* transaction_exit(PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kExitDoc);
    BoundArgs b;
    if (!bind_args(sig, args, nargs, kwnames, b)) return nullptr;
    const bool failed = b[0] != nullptr && b[0] != Py_None;
    return call_core(
        handle_of(self),
        [&](GraphDB& db) -> Status {
          // Both branches leave the flag cleared, also when they fail.
          if (failed) return db.rollback();
          Status status = db.commit();
          db.set_in_transaction(false);
          return status;
        },
        [] { return new_bool(false); });
  });
}

PyMethodDef transaction_methods[] = {
    {"__enter__", transaction_enter, METH_NOARGS, kEnterDoc},
    {"__exit__", fastcall_cast(transaction_exit), METH_FASTCALL | METH_KEYWORDS,
     kExitDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kTransactionDoc[] =
    "The context manager returned by GraphDB.transaction(), used with the "
    "`with` statement.\n\n"
    "It shares the database handle of the GraphDB that made it, so commit "
    "and rollback act on that same database: __enter__ and __exit__ commit "
    "when the block ends normally and roll back when it raises. The "
    "user-facing contract lives in the module's type stub (entry "
    "`Transaction`, in python/orvi).";

PyType_Slot transaction_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_object_dealloc)},
    {Py_tp_methods, transaction_methods},
    {Py_tp_doc, const_cast<char*>(kTransactionDoc)},
    {0, nullptr},
};

PyType_Spec transaction_spec = {"orvi.Transaction", sizeof(PyHandleObject), 0,
                                kTypeFlags, transaction_slots};

}  // namespace

PyObject* new_py_transaction(HandleRef handle) {
  return new_handle_object(g_transaction_type, std::move(handle));
}

int register_transaction(PyObject* module) {
  if (g_transaction_type == nullptr) {
    g_transaction_type = create_type(&transaction_spec);
    if (g_transaction_type == nullptr) return -1;
  }
  return add_type(module, "Transaction", g_transaction_type);
}

}  // namespace orvi::py
