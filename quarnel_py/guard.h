// The binding's two ways of turning C++ outcomes into Python errors: codec
// failures become ValueError with the codec's message, and C++ exceptions
// never cross into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

namespace quarnel_py {

// Raises ValueError with `message` (UTF-8; a stray invalid byte shows as
// U+FFFD rather than hiding the message behind a decoding error).
inline PyObject* raise_value_error(std::string_view message) {
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text != nullptr) {
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
  }
  return nullptr;
}

// Runs `body`, which returns a new reference or nullptr with a Python error
// set. std::bad_alloc becomes MemoryError; any other C++ exception would be a
// bug and becomes SystemError instead of terminating the interpreter.
template <typename Body>
PyObject* call_guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
    return nullptr;
  }
}

}  // namespace quarnel_py
