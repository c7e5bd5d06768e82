// The Python options class QrnlCompressionOptions: parses and validates the
// caller's four values once and keeps them as one CompressionOptions value.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "quarnel/quarnel.h"

namespace quarnel_py {

// An instance's memory: the companion package reads it too, from the type
// object it finds in the imported module.
struct OptionsObject {
  PyObject ob_base;
  quarnel::CompressionOptions value;
};

// The type object, readied on first use; nullptr with a Python error set if
// readying fails.
PyTypeObject* options_type();

// The value held by `object`, or nullptr when `object` is not an instance of
// QrnlCompressionOptions. Sets no Python error.
const quarnel::CompressionOptions* options_value(PyObject* object);

// The same for the type object `type` (the module's QrnlCompressionOptions).
inline const quarnel::CompressionOptions* options_value(PyObject* object, PyTypeObject* type) {
  if (!PyObject_TypeCheck(object, type)) return nullptr;
  return &reinterpret_cast<const OptionsObject*>(object)->value;
}

}  // namespace quarnel_py
