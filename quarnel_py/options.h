// The Python options class QrnlCompressionOptions: parses and validates the
// caller's four values once and keeps them as one CompressionOptions value.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "quarnel/quarnel.h"

namespace quarnel_py {

// The type object, readied on first use; nullptr with a Python error set if
// readying fails.
PyTypeObject* options_type();

// The value held by `object`, or nullptr when `object` is not an instance of
// QrnlCompressionOptions. Sets no Python error.
const quarnel::CompressionOptions* options_value(PyObject* object);

// Stores the capsule of quarnel_py/options_api.h in the interpreter's state
// dictionary, for the other extensions. -1 with a Python error set on failure.
int publish_options_api();

}  // namespace quarnel_py
