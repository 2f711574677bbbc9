// decode_tagged(value, error, properties=False): the Python values that
// json.loads made of a tagged value (tagged_value.h), decoded by the same
// rule the C++ parser applies. Lists and dicts come back as new objects,
// everything else as it is; a tag the rule refuses raises `error` (an
// exception class of the caller's) with the text the import reports.
// With `properties` the value is a record's properties dict, whose own
// keys are never tags.
#include "python/pyref.h"

#include <optional>
#include <string_view>

#include "tools/tagged_value.h"
#include "tools/tools.h"

namespace orvi::tools {

namespace {

using py::PyRef;

// A str's UTF-8 text, to be compared with the tag names. A str holding a
// lone surrogate (json.loads makes one of "\ud800") has no UTF-8; its
// surrogatepass bytes are used instead, which equal no name.
class StrText {
 public:
  explicit StrText(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
      PyErr_Clear();
      bytes_ = PyRef(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
      if (!bytes_) return;
      data = PyBytes_AS_STRING(bytes_.get());
      size = PyBytes_GET_SIZE(bytes_.get());
    }
    view_ = std::string_view(data, static_cast<size_t>(size));
  }
  StrText(const StrText&) = delete;
  StrText& operator=(const StrText&) = delete;

  // Empty with an error set when memory ran out.
  const std::optional<std::string_view>& view() const { return view_; }

 private:
  PyRef bytes_;
  std::optional<std::string_view> view_;
};

PyObject* decode(PyObject* value, PyObject* error);

// A new dict of `dict`'s members with their values decoded.
PyObject* decode_members(PyObject* dict, PyObject* error) {
  PyRef out(PyDict_New());
  if (!out) return nullptr;
  Py_ssize_t pos = 0;
  PyObject* key_ptr;
  PyObject* item_ptr;
  while (PyDict_Next(dict, &pos, &key_ptr, &item_ptr)) {
    const PyRef key = PyRef::borrow(key_ptr);
    const PyRef item = PyRef::borrow(item_ptr);
    PyRef decoded(decode(item.get(), error));
    if (!decoded || PyDict_SetItem(out.get(), key.get(), decoded.get()) < 0) {
      return nullptr;
    }
  }
  return out.release();
}

PyObject* decode_list(PyObject* list, PyObject* error) {
  PyRef out(PyList_New(0));
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    const PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
    PyRef decoded(decode(item.get(), error));
    if (!decoded || PyList_Append(out.get(), decoded.get()) < 0) return nullptr;
  }
  return out.release();
}

// A dict of one member: a tag or a map. A key that is no str is no tag.
PyObject* decode_single(PyObject* dict, PyObject* error) {
  Py_ssize_t pos = 0;
  PyObject* key_ptr;
  PyObject* inner_ptr;
  PyDict_Next(dict, &pos, &key_ptr, &inner_ptr);
  const PyRef key = PyRef::borrow(key_ptr);
  const PyRef inner = PyRef::borrow(inner_ptr);
  if (!PyUnicode_Check(key.get())) return decode_members(dict, error);
  const StrText key_text(key.get());
  if (!key_text.view()) return nullptr;
  std::optional<StrText> inner_text;
  std::optional<std::string_view> inner_view;
  if (PyUnicode_Check(inner.get())) {
    inner_text.emplace(inner.get());
    if (!inner_text->view()) return nullptr;
    inner_view = inner_text->view();
  }
  double real = 0;
  switch (read_tag(*key_text.view(), inner_view, PyDict_Check(inner.get()),
                   real)) {
    case TagMeaning::kNotTag:
      return decode_members(dict, error);
    case TagMeaning::kMap:
      return decode_members(inner.get(), error);
    case TagMeaning::kFloat:
      return PyFloat_FromDouble(real);
    case TagMeaning::kBadFloat:
      return PyErr_Format(error, "unknown $float value %R (use nan, inf, -inf)",
                          inner.get());
    case TagMeaning::kBadMap:
      PyErr_SetString(error, "$map must hold an object");
      return nullptr;
    case TagMeaning::kUnknownTag:
      return PyErr_Format(error,
                          "unknown tag %R (maps with a single '$' key are "
                          "written as {\"$map\": {...}})",
                          key.get());
  }
  return nullptr;
}

PyObject* decode(PyObject* value, PyObject* error) {
  const bool list = PyList_Check(value);
  if (!list && !PyDict_Check(value)) return PyRef::borrow(value).release();
  // json.loads nests only as deep as the recursion limit lets it; a value
  // built in Python may nest deeper, which ends in RecursionError here as
  // it would in a decoder written in Python.
  if (Py_EnterRecursiveCall(" while decoding a tagged JSON value") != 0) {
    return nullptr;
  }
  PyObject* out = list                         ? decode_list(value, error)
                  : PyDict_GET_SIZE(value) == 1 ? decode_single(value, error)
                                                : decode_members(value, error);
  Py_LeaveRecursiveCall();
  return out;
}

PyObject* engine_decode_tagged(PyObject*, PyObject* args) {
  PyObject* value;
  PyObject* error;
  int properties = 0;
  if (!PyArg_ParseTuple(args, "OO|p:decode_tagged", &value, &error,
                        &properties)) {
    return nullptr;
  }
  if (!PyExceptionClass_Check(error)) {
    PyErr_SetString(PyExc_TypeError,
                    "decode_tagged() argument 2 must be an exception class");
    return nullptr;
  }
  if (!properties) return decode(value, error);
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "properties must be a dict");
    return nullptr;
  }
  return decode_members(value, error);
}

PyMethodDef tagged_methods[] = {
    {"decode_tagged", engine_decode_tagged, METH_VARARGS,
     "decode_tagged(value, error, properties=False)\n--\n\n"
     "The value a tagged JSON value stands for; `error` for a bad tag."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

int register_tagged_values(PyObject* module) {
  return PyModule_AddFunctions(module, tagged_methods);
}

}  // namespace orvi::tools
