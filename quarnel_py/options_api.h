// How another extension in the same interpreter reads the value of a
// quarnel.QrnlCompressionOptions without knowing the object's memory or
// adding anything to the module's Python surface: when the module quarnel
// is executed it stores a capsule holding an OptionsApi in the interpreter's
// state dictionary, under kOptionsApiName. Both sides are built from this
// header; struct_size lets a reader refuse a table older than the one it
// was built with.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "quarnel/quarnel.h"

namespace quarnel_py {

// The dictionary key and the capsule's name.
inline constexpr char kOptionsApiName[] = "quarnel._options_api";

struct OptionsApi {
  std::uint32_t struct_size;  // sizeof(OptionsApi) of the module that filled it
  // 1 with *value set when `object` is a QrnlCompressionOptions, else 0.
  // Sets no Python error.
  int (*options_value)(PyObject* object, quarnel::CompressionOptions* value);
};

// The table of the module quarnel, which is imported first if need be, and
// the capsule that holds it (a new reference: the table lives as long as
// the capsule). nullptr with a Python error set on failure.
inline const OptionsApi* import_options_api(PyObject** capsule) {
  PyObject* module = PyImport_ImportModule("quarnel");
  if (module == nullptr) return nullptr;
  Py_DECREF(module);
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());            // borrowed
  PyObject* found = state ? PyDict_GetItemString(state, kOptionsApiName) : nullptr;  // borrowed
  const auto* api =
      found ? static_cast<const OptionsApi*>(PyCapsule_GetPointer(found, kOptionsApiName))
            : nullptr;
  if (api == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_ImportError, "the module quarnel did not publish its options");
    }
    return nullptr;
  }
  if (api->struct_size < offsetof(OptionsApi, options_value) + sizeof api->options_value) {
    PyErr_SetString(PyExc_ImportError, "the module quarnel is older than this extension");
    return nullptr;
  }
  Py_INCREF(found);
  *capsule = found;
  return api;
}

}  // namespace quarnel_py
