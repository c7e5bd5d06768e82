// quarnel_tools._native: the codec's calls with a thread count, the
// error-bounded encoder and the header reader, run with the interpreter lock
// released. A thin binding: the arrays are read and made by
// the module quarnel's own array code, the options are the module's
// QrnlCompressionOptions objects, and every codec rule stays in quarnel/.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <expected>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "quarnel/header.h"
#include "quarnel/method.h"
#include "quarnel/quarnel.h"
#include "quarnel_py/arrays.h"
#include "quarnel_py/guard.h"
#include "quarnel_py/options.h"

namespace {

using quarnel_py::call_guarded;
using quarnel_py::raise_value_error;

// Per-module state: the options type of the imported module quarnel.
struct NativeState {
  PyTypeObject* options_type;
};

NativeState* state_of(PyObject* module) {
  return static_cast<NativeState*>(PyModule_GetState(module));
}

// Runs `work` without the interpreter lock. Exceptions cannot unwind through
// the lock's release, so the one the codec may raise (std::bad_alloc) is
// caught on the far side and rethrown here, where call_guarded turns it into
// MemoryError.
template <typename Work>
auto without_lock(Work&& work) -> decltype(work()) {
  std::optional<decltype(work())> result;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS try { result.emplace(work()); } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS if (out_of_memory) throw std::bad_alloc();
  return std::move(*result);
}

bool read_threads(PyObject* value, unsigned* threads) {
  const long count = PyLong_AsLong(value);
  if (count == -1 && PyErr_Occurred()) return false;
  if (count < 1) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return false;
  }
  *threads = count > 1024 ? 1024u : static_cast<unsigned>(count);
  return true;
}

// compress(data, options, threads) -> bytes
PyObject* native_compress(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "compress() takes exactly 3 arguments");
    return nullptr;
  }
  PyObject* data = args[0];
  quarnel::CompressionOptions options;
  if (args[1] != Py_None) {
    const quarnel::CompressionOptions* held =
        quarnel_py::options_value(args[1], state_of(module)->options_type);
    if (held == nullptr) {
      PyErr_Format(
          PyExc_TypeError,
          "compress() argument 'options' must be QrnlCompressionOptions or None, not %.200s",
          Py_TYPE(args[1])->tp_name);
      return nullptr;
    }
    options = *held;
  }
  unsigned threads = 1;
  if (!read_threads(args[2], &threads)) return nullptr;
  return call_guarded([&]() -> PyObject* {
    std::vector<float> converted;
    std::span<const float> samples;
    if (!quarnel_py::read_signal(data, options, converted, samples)) return nullptr;
    // The caller holds `data` until this call returns, so the array stays
    // alive while the lock is released. The codec only reads the samples
    // (range, mean, then the first transform level); a concurrent writer can
    // change the values it sees, never the memory it writes or the lengths
    // it relies on.
    auto stream = without_lock([&] { return quarnel::compress(samples, options, threads); });
    if (!stream) return raise_value_error(stream.error().message());
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stream->data()),
                                     static_cast<Py_ssize_t>(stream->size()));
  });
}

// decompress(stream, threads) -> numpy.ndarray of float32
PyObject* native_decompress(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "decompress() takes exactly 2 arguments");
    return nullptr;
  }
  unsigned threads = 1;
  if (!read_threads(args[1], &threads)) return nullptr;
  // Any bytes-like object. The buffer stays exported until the call ends, so
  // a bytearray cannot be resized under the decoder.
  Py_buffer view;
  if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
  PyObject* result = call_guarded([&]() -> PyObject* {
    const std::span<const std::uint8_t> stream(static_cast<const std::uint8_t*>(view.buf),
                                               static_cast<std::size_t>(view.len));
    auto samples = without_lock([&] { return quarnel::decompress(stream, threads); });
    if (!samples) return raise_value_error(samples.error().message());
    return quarnel_py::samples_to_array(std::move(*samples));
  });
  PyBuffer_Release(&view);
  return result;
}

// compress_bounded(data, options, pin_method, target, value, threads)
//   -> (bytes, (max_error, psnr, method, scale, levels, coder))
// `options` carries the method and coder, parsed and checked by the module's
// options class; the method counts only with `pin_method`. `target` is an
// ErrorTarget, the enumerations come back as their numbers.
PyObject* native_compress_bounded(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 6) {
    PyErr_SetString(PyExc_TypeError, "compress_bounded() takes exactly 6 arguments");
    return nullptr;
  }
  PyObject* data = args[0];
  const quarnel::CompressionOptions* held =
      quarnel_py::options_value(args[1], state_of(module)->options_type);
  if (held == nullptr) {
    PyErr_SetString(PyExc_TypeError,
                    "compress_bounded() argument 2 must be QrnlCompressionOptions");
    return nullptr;
  }
  quarnel::BoundedOptions options;
  const int pin = PyObject_IsTrue(args[2]);
  if (pin < 0) return nullptr;
  if (pin) options.method = held->method;
  options.coder = held->coder;
  const long target = PyLong_AsLong(args[3]);
  if (target == -1 && PyErr_Occurred()) return nullptr;
  if (target < 0 || target > 2) {
    PyErr_SetString(PyExc_ValueError, "unknown error target");
    return nullptr;
  }
  options.target = static_cast<quarnel::ErrorTarget>(target);
  options.value = PyFloat_AsDouble(args[4]);
  if (options.value == -1.0 && PyErr_Occurred()) return nullptr;
  unsigned threads = 1;
  if (!read_threads(args[5], &threads)) return nullptr;
  return call_guarded([&]() -> PyObject* {
    // Only the length decides the checks before a float64 conversion; the
    // encoder falls back to DEFLATE where the rANS coder cannot take it.
    quarnel::CompressionOptions reading = *held;
    reading.coder = quarnel::CoderChoice::deflate;
    std::vector<float> converted;
    std::span<const float> samples;
    if (!quarnel_py::read_signal(data, reading, converted, samples)) return nullptr;
    // As in compress(): the caller holds `data`, and a concurrent writer can
    // change the values read, never the memory written.
    auto result =
        without_lock([&] { return quarnel::compress_bounded(samples, options, threads); });
    if (!result) return raise_value_error(result.error().message());
    return Py_BuildValue("y#(ddiiii)", reinterpret_cast<const char*>(result->stream.data()),
                         static_cast<Py_ssize_t>(result->stream.size()), result->max_error,
                         result->psnr, static_cast<int>(result->method),
                         static_cast<int>(result->scale), static_cast<int>(result->levels),
                         static_cast<int>(result->coder));
  });
}

// inspect(stream) -> (method, levels, scale, coder, sample_count, min, max,
//                     mean, payload_length), the method as a WaveletMethod
// number. Reads the header only.
PyObject* native_inspect(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) {
    PyErr_SetString(PyExc_TypeError, "inspect() takes exactly 1 argument");
    return nullptr;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
  PyObject* result = call_guarded([&]() -> PyObject* {
    const std::span<const std::uint8_t> stream(static_cast<const std::uint8_t*>(view.buf),
                                               static_cast<std::size_t>(view.len));
    const auto header = without_lock([&] { return quarnel::QuarnelHeader::from_bytes(stream); });
    if (!header) return raise_value_error(header.error().message());
    // from_bytes accepts only the four known tags.
    const auto method = quarnel::method_from_tag(header->method_tag);
    return Py_BuildValue(
        "(iiiikdddk)", static_cast<int>(*method), static_cast<int>(header->levels),
        static_cast<int>(header->scale), static_cast<int>(header->coder),
        static_cast<unsigned long>(header->sample_count), static_cast<double>(header->min_value),
        static_cast<double>(header->max_value), static_cast<double>(header->mean_value),
        static_cast<unsigned long>(header->payload_length));
  });
  PyBuffer_Release(&view);
  return result;
}

PyMethodDef native_methods[] = {
    {"compress", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_compress)),
     METH_FASTCALL,
     "compress(data, options, threads)\n--\n\nThe module's stream, coded with up to `threads` "
     "threads."},
    {"decompress", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_decompress)),
     METH_FASTCALL,
     "decompress(stream, threads)\n--\n\nThe module's samples, decoded with up to `threads` "
     "threads."},
    {"compress_bounded",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_compress_bounded)),
     METH_FASTCALL,
     "compress_bounded(data, options, pin_method, target, value, threads)\n--\n\nThe smallest "
     "stream found that meets an error target, and what it achieves."},
    {"inspect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_inspect)),
     METH_FASTCALL, "inspect(stream)\n--\n\nThe fields of a stream's header."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_native(PyObject* module) {
  PyObject* quarnel = PyImport_ImportModule("quarnel");
  if (quarnel == nullptr) return -1;
  PyObject* type = PyObject_GetAttrString(quarnel, "QrnlCompressionOptions");
  Py_DECREF(quarnel);
  if (type == nullptr) return -1;
  if (!PyType_Check(type)) {
    Py_DECREF(type);
    PyErr_SetString(PyExc_TypeError, "quarnel.QrnlCompressionOptions is not a type");
    return -1;
  }
  state_of(module)->options_type = reinterpret_cast<PyTypeObject*>(type);  // owns the reference
  return 0;
}

int traverse_native(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(state_of(module)->options_type);
  return 0;
}

int clear_native(PyObject* module) {
  Py_CLEAR(state_of(module)->options_type);
  return 0;
}

void free_native(void* module) {
  clear_native(static_cast<PyObject*>(module));
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_native)},
    {0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "quarnel_tools._native",
    "The codec with a thread count, the error-bounded encoder and the header reader, run "
    "without the interpreter lock.",
    sizeof(NativeState),
    native_methods,
    native_slots,
    traverse_native,
    clear_native,
    free_native,
};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) {
  return PyModuleDef_Init(&native_module);
}
