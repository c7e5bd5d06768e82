// The extension module `quarnel`: multi-phase initialisation and the two
// module functions. Everything here converts and forwards; the codec does the
// work.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "quarnel/quarnel.h"
#include "quarnel_py/arrays.h"
#include "quarnel_py/guard.h"
#include "quarnel_py/options.h"

namespace quarnel_py {

namespace {

PyObject* raise_codec_error(const quarnel::QuarnelError& error) {
  return raise_value_error(error.message());
}

PyObject* compress_signal(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "options", nullptr};
  PyObject* data = nullptr;
  PyObject* options = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:compress_signal",
                                   const_cast<char**>(keywords), &data, &options)) {
    return nullptr;
  }
  quarnel::CompressionOptions value;
  if (options != Py_None) {
    const quarnel::CompressionOptions* held = options_value(options);
    if (held == nullptr) {
      PyErr_Format(
          PyExc_TypeError,
          "compress_signal() argument 'options' must be QrnlCompressionOptions or None, not %.200s",
          Py_TYPE(options)->tp_name);
      return nullptr;
    }
    value = *held;
  }
  return call_guarded([&]() -> PyObject* {
    std::vector<float> converted;
    std::span<const float> samples;
    if (!read_signal(data, value, converted, samples)) return nullptr;
    const auto stream = quarnel::compress(samples, value);
    if (!stream) return raise_codec_error(stream.error());
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stream->data()),
                                     static_cast<Py_ssize_t>(stream->size()));
  });
}

PyObject* decompress_signal(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", nullptr};
  PyObject* data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:decompress_signal",
                                   const_cast<char**>(keywords), &data)) {
    return nullptr;
  }
  if (!PyBytes_Check(data)) {
    PyErr_Format(PyExc_TypeError, "decompress_signal() argument 'data' must be bytes, not %.200s",
                 Py_TYPE(data)->tp_name);
    return nullptr;
  }
  // bytes are immutable and `data` outlives the call: read them in place.
  const std::span<const std::uint8_t> stream(
      reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)),
      static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
  return call_guarded([&]() -> PyObject* {
    auto samples = quarnel::decompress(stream);
    if (!samples) return raise_codec_error(samples.error());
    return samples_to_array(std::move(*samples));
  });
}

// The first line of each docstring is the function's text signature.
PyMethodDef compress_signal_def = {
    "compress_signal", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compress_signal)),
    METH_VARARGS | METH_KEYWORDS,
    "compress_signal(data, options=None)\n--\n\n"
    "Compress a 1-D float32 **or** float64 NumPy array into Quarnel `bytes`.\n\n"
    "float64 input is downcast to float32 before compression (the codec works in\n"
    "f32 internally and always reconstructs f32 on decompress)."};

PyMethodDef decompress_signal_def = {
    "decompress_signal",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decompress_signal)),
    METH_VARARGS | METH_KEYWORDS,
    "decompress_signal(data)\n--\n\n"
    "Decompress a Quarnel bytes object into a 1-D float32 NumPy array."};

// Adds `object` to the module under `name` and appends the name to
// `__all__`, which the first call creates.
int add_exported(PyObject* module, const char* name, PyObject* object) {
  PyObject* dict = PyModule_GetDict(module);              // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  if (all == nullptr) {
    PyObject* created = PyList_New(0);
    if (created == nullptr) return -1;
    const int status = PyDict_SetItemString(dict, "__all__", created);
    Py_DECREF(created);
    if (status < 0) return -1;
    all = created;  // the module's dict holds it
  }
  if (!PyList_Check(all)) {
    PyErr_SetString(PyExc_TypeError, "quarnel.__all__ must be a list");
    return -1;
  }
  PyObject* text = PyUnicode_FromString(name);
  if (text == nullptr) return -1;
  const int appended = PyList_Append(all, text);
  Py_DECREF(text);
  if (appended < 0) return -1;
  Py_INCREF(object);
  if (PyModule_AddObject(module, name, object) < 0) {  // steals only on success
    Py_DECREF(object);
    return -1;
  }
  return 0;
}

int add_function(PyObject* module, PyMethodDef* def) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return -1;
  PyObject* function = PyCFunction_NewEx(def, module, module_name);
  Py_DECREF(module_name);
  if (function == nullptr) return -1;
  const int status = add_exported(module, def->ml_name, function);
  Py_DECREF(function);
  return status;
}

int exec_quarnel(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "quarnel must be initialised into a module object");
    return -1;
  }
  PyTypeObject* type = options_type();
  if (type == nullptr) return -1;
  if (add_exported(module, "QrnlCompressionOptions", reinterpret_cast<PyObject*>(type)) < 0)
    return -1;
  if (add_function(module, &compress_signal_def) < 0) return -1;
  if (add_function(module, &decompress_signal_def) < 0) return -1;
  // Not an attribute: the companion package finds the options' accessor in
  // the interpreter's state.
  return publish_options_api();
}

PyModuleDef_Slot quarnel_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_quarnel)},
    {0, nullptr},
};

PyModuleDef quarnel_module = {
    PyModuleDef_HEAD_INIT,
    "quarnel",      // m_name
    "",             // m_doc
    0,              // m_size: no per-module state
    nullptr,        // m_methods: the functions are added by exec_quarnel
    quarnel_slots,  // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace

}  // namespace quarnel_py

PyMODINIT_FUNC PyInit_quarnel(void) {
  return PyModuleDef_Init(&quarnel_py::quarnel_module);
}
