// quarnel_tools._native: the codec's calls with a thread count, the
// error-bounded encoder and the header reader, run with the interpreter lock
// released, and the codec's facts the package's Python forwards (names,
// defaults, the header size, the rule for a target). A thin binding over the
// public quarnel/quarnel.h: the arrays are read and made by the module
// quarnel's own array code, the options are the module's
// QrnlCompressionOptions objects, read through the accessor it publishes,
// and every codec rule stays in quarnel/.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <libdeflate.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <expected>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "hdf5_filter/quarnel_h5filter.h"
#include "quarnel/quarnel.h"
#include "quarnel/quarnel_c.h"
#include "quarnel/store.h"
#include "quarnel/trailer.h"
#include "quarnel_py/arrays.h"
#include "quarnel_py/guard.h"
#include "quarnel_py/options_api.h"

namespace {

using quarnel_py::call_guarded;
using quarnel_py::raise_value_error;

// Per-module state: the options accessor of the module quarnel and the
// capsule that keeps it.
struct NativeState {
  PyObject* options_capsule;
  const quarnel_py::OptionsApi* options_api;
};

NativeState* state_of(PyObject* module) {
  return static_cast<NativeState*>(PyModule_GetState(module));
}

// The value of a QrnlCompressionOptions, or false when `object` is not one.
bool options_value(PyObject* module, PyObject* object, quarnel::CompressionOptions* value) {
  return state_of(module)->options_api->options_value(object, value) != 0;
}

PyObject* name_of(std::string_view name) {
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
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

// A target's number as the codec's ErrorTarget; the codec names a number
// that is none of its targets.
bool read_target(PyObject* value, quarnel::ErrorTarget* target) {
  const long number = PyLong_AsLong(value);
  if (number == -1 && PyErr_Occurred()) return false;
  if (number < 0 || number > 255) {
    PyErr_Format(PyExc_ValueError, "Unknown error target %ld", number);
    return false;
  }
  *target = static_cast<quarnel::ErrorTarget>(number);
  return true;
}

// Runs `body` on the bytes of a bytes-like object under call_guarded. The
// buffer stays exported until the call ends, so a bytearray cannot be resized
// under the decoder.
template <typename Body>
PyObject* with_stream(PyObject* object, Body&& body) {
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_SIMPLE) < 0) return nullptr;
  PyObject* result = call_guarded([&]() -> PyObject* {
    return body(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(view.buf),
                                              static_cast<std::size_t>(view.len)));
  });
  PyBuffer_Release(&view);
  return result;
}

// A DEFLATE level as the codec checks it; a number past an int is out of
// range at either end.
bool read_deflate_level(PyObject* value, int* level) {
  int overflow = 0;
  const long number = PyLong_AsLongAndOverflow(value, &overflow);
  if (number == -1 && PyErr_Occurred()) return false;
  *level = overflow != 0 ? (overflow > 0 ? INT_MAX : INT_MIN)
                         : static_cast<int>(std::clamp<long>(number, INT_MIN, INT_MAX));
  if (auto checked = quarnel::check_deflate_level(*level); !checked) {
    raise_value_error(checked.error().message());
    return false;
  }
  return true;
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

// What a stored stream carries besides its samples: None for the bare
// stream, else (fill_value, sample_rate, channels, source_format,
// corrections), the first three None when not given.
bool read_store(PyObject* value, quarnel::StoreOptions* store) {
  if (value == Py_None) {
    store->trailer = false;
    return true;
  }
  PyObject *fill, *rate, *channels;
  const char* format;
  Py_ssize_t format_size;
  int corrections;
  if (!PyArg_ParseTuple(value, "OOOs#p", &fill, &rate, &channels, &format, &format_size,
                        &corrections)) {
    return false;
  }
  store->corrections = corrections != 0;
  const auto number = [](PyObject* v, std::optional<double>* out) {
    if (v == Py_None) return true;
    const double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) return false;
    *out = d;
    return true;
  };
  if (!number(fill, &store->fill_value) || !number(rate, &store->sample_rate)) return false;
  if (channels != Py_None) {
    const unsigned long count = PyLong_AsUnsignedLong(channels);
    if (PyErr_Occurred()) return false;
    if (count < 1 || count > UINT32_MAX) {
      PyErr_SetString(PyExc_ValueError, "channels must be 1 to 2**32 - 1");
      return false;
    }
    store->channels = static_cast<std::uint32_t>(count);
  }
  store->source_format.assign(format, static_cast<std::size_t>(format_size));
  return true;
}

// compress(data, options, threads, store, deflate_level) -> bytes
PyObject* native_compress(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5) {
    PyErr_SetString(PyExc_TypeError, "compress() takes exactly 5 arguments");
    return nullptr;
  }
  PyObject* data = args[0];
  quarnel::CompressionOptions options;
  if (args[1] != Py_None && !options_value(module, args[1], &options)) {
    PyErr_Format(PyExc_TypeError,
                 "compress() argument 'options' must be QrnlCompressionOptions or None, not %.200s",
                 Py_TYPE(args[1])->tp_name);
    return nullptr;
  }
  unsigned threads = 1;
  if (!read_threads(args[2], &threads)) return nullptr;
  quarnel::StoreOptions store;
  if (!read_store(args[3], &store)) return nullptr;
  if (!read_deflate_level(args[4], &store.deflate_level)) return nullptr;
  return call_guarded([&]() -> PyObject* {
    quarnel_py::SignalView view;
    if (!quarnel_py::view_signal(data, view)) return nullptr;
    // The caller holds `data` until this call returns, so the array stays
    // alive while the lock is released. The codec only reads the samples; a
    // concurrent writer can change the values it sees, never the memory it
    // writes or the lengths it relies on. A float64 sample float32 cannot
    // hold is refused, not stored as an infinity.
    auto stream = without_lock([&] {
      return std::visit(
          [&](auto samples) { return quarnel::compress_stored(samples, options, store, threads); },
          view);
    });
    if (!stream) return raise_value_error(stream.error().message());
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stream->data()),
                                     static_cast<Py_ssize_t>(stream->size()));
  });
}

// decompress(stream, threads, wide, require_trailer) -> numpy.ndarray of
// float32, or of float64 with `wide`. A trailer is verified before anything
// is decoded and its mask restored, in float64 from the values' own bits with
// `wide`; a stream without one is refused with `require_trailer`.
PyObject* native_decompress(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "decompress() takes exactly 4 arguments");
    return nullptr;
  }
  unsigned threads = 1;
  if (!read_threads(args[1], &threads)) return nullptr;
  const int wide = PyObject_IsTrue(args[2]);
  if (wide < 0) return nullptr;
  const int require_trailer = PyObject_IsTrue(args[3]);
  if (require_trailer < 0) return nullptr;
  return with_stream(args[0], [&](std::span<const std::uint8_t> stream) -> PyObject* {
    auto decoded = without_lock(
        [&] { return quarnel::decompress_with_trailer(stream, threads, require_trailer != 0); });
    if (!decoded) return raise_value_error(decoded.error().message());
    if (!wide) return quarnel_py::samples_to_array(std::move(decoded->samples));
    std::vector<double> widened(decoded->samples.begin(), decoded->samples.end());
    decoded->samples = {};
    if (decoded->trailer) quarnel::apply_mask(*decoded->trailer, std::span<double>(widened));
    return quarnel_py::samples_to_array(std::move(widened));
  });
}

// read_trailer(stream) -> None for a bare stream, else a dict of what the
// verified trailer holds; a target's kind is its ErrorTarget number.
PyObject* native_read_trailer(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) {
    PyErr_SetString(PyExc_TypeError, "read_trailer() takes exactly 1 argument");
    return nullptr;
  }
  return with_stream(args[0], [&](std::span<const std::uint8_t> stream) -> PyObject* {
    const auto trailer = without_lock([&] { return quarnel::read_trailer(stream); });
    if (!trailer) return raise_value_error(trailer.error().message());
    if (!*trailer) Py_RETURN_NONE;
    const quarnel::Trailer& t = **trailer;
    const auto optional_number = [](const auto& v) -> PyObject* {
      if (!v) Py_RETURN_NONE;
      return PyFloat_FromDouble(static_cast<double>(*v));
    };
    PyObject* target = Py_None;
    Py_INCREF(Py_None);
    if (t.target) {
      Py_DECREF(Py_None);
      target = Py_BuildValue("(iddd)", static_cast<int>(t.target->kind), t.target->value,
                             t.target->max_error, t.target->psnr);
      if (target == nullptr) return nullptr;
    }
    PyObject* range = Py_None;
    Py_INCREF(Py_None);
    if (t.signal_range) {
      Py_DECREF(Py_None);
      range = Py_BuildValue("(dd)", t.signal_range->first, t.signal_range->second);
      if (range == nullptr) {
        Py_DECREF(target);
        return nullptr;
      }
    }
    PyObject* channels = Py_None;
    if (t.channels) {
      channels = PyLong_FromUnsignedLong(*t.channels);
    } else {
      Py_INCREF(Py_None);
    }
    const std::optional<double> uncorrected =
        t.corrections ? std::optional(t.corrections->bare_max_error) : std::nullopt;
    PyObject* grid = Py_None;
    Py_INCREF(Py_None);
    if (t.corrections && t.corrections->grid) {
      Py_DECREF(Py_None);
      grid = Py_BuildValue("(dd)", t.corrections->grid->origin, t.corrections->grid->step);
      if (grid == nullptr) {
        Py_DECREF(target);
        Py_DECREF(range);
        Py_XDECREF(channels);
        return nullptr;
      }
    }
    return Py_BuildValue(
        "{s:K,s:N,s:N,s:s#,s:N,s:N,s:K,s:N,s:N}", "masked",
        static_cast<unsigned long long>(quarnel::masked_count(t)), "sample_rate",
        optional_number(t.sample_rate), "channels", channels, "source_format",
        t.source_format.data(), static_cast<Py_ssize_t>(t.source_format.size()), "target", target,
        "signal_range", range, "corrected",
        static_cast<unsigned long long>(t.corrections ? t.corrections->list.size() : 0),
        "uncorrected_error", optional_number(uncorrected), "grid", grid);
  });
}

// compress_bounded(data, options, pin_method, target, value, threads, store,
//                  deflate_level)
//   -> (bytes, (max_error, psnr, method, scale, levels, coder))
// `options` carries the method and coder, parsed and checked by the module's
// options class; the method counts only with `pin_method`. `target` is an
// ErrorTarget, the method and coder come back as their names. float64
// samples go to the encoder as they are, which measures against them.
PyObject* native_compress_bounded(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 8) {
    PyErr_SetString(PyExc_TypeError, "compress_bounded() takes exactly 8 arguments");
    return nullptr;
  }
  PyObject* data = args[0];
  quarnel::CompressionOptions held;
  if (!options_value(module, args[1], &held)) {
    PyErr_SetString(PyExc_TypeError,
                    "compress_bounded() argument 2 must be QrnlCompressionOptions");
    return nullptr;
  }
  quarnel::BoundedOptions options;
  const int pin = PyObject_IsTrue(args[2]);
  if (pin < 0) return nullptr;
  if (pin) options.method = held.method;
  options.coder = held.coder;
  if (!read_target(args[3], &options.target)) return nullptr;
  options.value = PyFloat_AsDouble(args[4]);
  if (options.value == -1.0 && PyErr_Occurred()) return nullptr;
  unsigned threads = 1;
  if (!read_threads(args[5], &threads)) return nullptr;
  quarnel::StoreOptions store;
  if (!read_store(args[6], &store)) return nullptr;
  if (!read_deflate_level(args[7], &options.deflate_level)) return nullptr;
  return call_guarded([&]() -> PyObject* {
    quarnel_py::SignalView view;
    if (!quarnel_py::view_signal(data, view)) return nullptr;
    // As in compress(): the caller holds `data`, and a concurrent writer can
    // change the values read, never the memory written.
    auto result = without_lock([&] {
      return std::visit(
          [&](auto samples) {
            return quarnel::compress_bounded_stored(samples, options, store, threads);
          },
          view);
    });
    if (!result) return raise_value_error(result.error().message());
    const std::string_view method = quarnel::method_name(result->method);
    const std::string_view coder = quarnel::coder_name(result->coder);
    return Py_BuildValue("y#(dds#iis#)", reinterpret_cast<const char*>(result->stream.data()),
                         static_cast<Py_ssize_t>(result->stream.size()), result->max_error,
                         result->psnr, method.data(), static_cast<Py_ssize_t>(method.size()),
                         static_cast<int>(result->scale), static_cast<int>(result->levels),
                         coder.data(), static_cast<Py_ssize_t>(coder.size()));
  });
}

// inspect(stream) -> (method, levels, scale, coder, sample_count, min, max,
//                     mean, payload_length), the method and coder as their
// names: the header as decompress() reads and checks it.
PyObject* native_inspect(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) {
    PyErr_SetString(PyExc_TypeError, "inspect() takes exactly 1 argument");
    return nullptr;
  }
  return with_stream(args[0], [&](std::span<const std::uint8_t> stream) -> PyObject* {
    // The header alone: too little work to release the lock for.
    const auto header = quarnel::read_header(stream);
    if (!header) return raise_value_error(header.error().message());
    const std::string_view method = quarnel::method_name(header->method);
    const std::string_view coder = quarnel::coder_name(header->coder);
    return Py_BuildValue(
        "(s#iis#kdddk)", method.data(), static_cast<Py_ssize_t>(method.size()),
        static_cast<int>(header->levels), static_cast<int>(header->scale), coder.data(),
        static_cast<Py_ssize_t>(coder.size()), static_cast<unsigned long>(header->sample_count),
        static_cast<double>(header->min_value), static_cast<double>(header->max_value),
        static_cast<double>(header->mean_value),
        static_cast<unsigned long>(header->payload_length));
  });
}

// crc32(data) -> int: the CRC-32 of a contiguous buffer's bytes, at the
// speed of libdeflate's folding, without the lock.
PyObject* native_crc32(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) {
    PyErr_SetString(PyExc_TypeError, "crc32() takes exactly 1 argument");
    return nullptr;
  }
  return with_stream(args[0], [&](std::span<const std::uint8_t> bytes) -> PyObject* {
    const std::uint32_t crc =
        without_lock([&] { return libdeflate_crc32(0, bytes.data(), bytes.size()); });
    return PyLong_FromUnsignedLong(crc);
  });
}

// check_target(target, value) -> None: the codec's rule for a target's
// value; ValueError with the codec's message when `value` breaks it.
PyObject* native_check_target(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "check_target() takes exactly 2 arguments");
    return nullptr;
  }
  quarnel::ErrorTarget target;
  if (!read_target(args[0], &target)) return nullptr;
  const double value = PyFloat_AsDouble(args[1]);
  if (value == -1.0 && PyErr_Occurred()) return nullptr;
  return call_guarded([&]() -> PyObject* {
    const auto checked = quarnel::check_error_target(target, value);
    if (!checked) return raise_value_error(checked.error().message());
    Py_RETURN_NONE;
  });
}

// check_deflate_level(level) -> None: the codec's rule for a DEFLATE level;
// ValueError with the codec's message when `level` breaks it.
PyObject* native_check_deflate_level(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) {
    PyErr_SetString(PyExc_TypeError, "check_deflate_level() takes exactly 1 argument");
    return nullptr;
  }
  int level;
  if (!read_deflate_level(args[0], &level)) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef native_methods[] = {
    {"compress", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_compress)),
     METH_FASTCALL,
     "compress(data, options, threads, store, deflate_level)\n--\n\nThe module's stream, coded "
     "with up to `threads` threads, with a trailer unless `store` is None; a DEFLATE payload at "
     "`deflate_level`."},
    {"decompress", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_decompress)),
     METH_FASTCALL,
     "decompress(stream, threads, wide, require_trailer)\n--\n\nThe samples, decoded with up "
     "to `threads` threads, the trailer verified and its mask restored; float64 with `wide`; "
     "a stream without the trailer refused with `require_trailer`."},
    {"read_trailer",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_read_trailer)),
     METH_FASTCALL, "read_trailer(stream)\n--\n\nWhat a stream's verified trailer holds."},
    {"compress_bounded",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_compress_bounded)),
     METH_FASTCALL,
     "compress_bounded(data, options, pin_method, target, value, threads, store, "
     "deflate_level)\n--\n\nThe "
     "smallest "
     "stream found that meets an error target, and what it achieves."},
    {"inspect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_inspect)),
     METH_FASTCALL, "inspect(stream)\n--\n\nThe fields of a stream's header."},
    {"crc32", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_crc32)),
     METH_FASTCALL, "crc32(data)\n--\n\nThe CRC-32 of a contiguous buffer's bytes."},
    {"check_target",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_check_target)),
     METH_FASTCALL,
     "check_target(target, value)\n--\n\nRefuses a value the error target does not allow."},
    {"check_deflate_level",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_check_deflate_level)),
     METH_FASTCALL, "check_deflate_level(level)\n--\n\nRefuses a DEFLATE level out of range."},
    {nullptr, nullptr, 0, nullptr},
};

// The names of an enumeration's values, in its order: they run from 0 until
// the first empty name.
template <typename Value>
PyObject* names(std::string_view (*name)(Value)) {
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  for (unsigned i = 0; !name(static_cast<Value>(i)).empty(); ++i) {
    PyObject* text = name_of(name(static_cast<Value>(i)));
    if (text == nullptr || PyList_Append(list, text) < 0) {
      Py_XDECREF(text);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(text);
  }
  PyObject* tuple = PyList_AsTuple(list);
  Py_DECREF(list);
  return tuple;
}

// Adds `value` (a new reference, or nullptr after a failure) as `name`.
int add_constant(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return -1;
  if (PyModule_AddObject(module, name, value) < 0) {  // steals only on success
    Py_DECREF(value);
    return -1;
  }
  return 0;
}

int exec_native(PyObject* module) {
  NativeState* state = state_of(module);
  state->options_api = quarnel_py::import_options_api(&state->options_capsule);
  if (state->options_api == nullptr) return -1;
  const quarnel::CompressionOptions defaults;
  const std::string_view method = quarnel::method_name(defaults.method);
  const std::string_view cutoff = quarnel::cutoff_name(defaults.cutoff);
  const std::string_view coder = quarnel::coder_name(defaults.coder);
  if (add_constant(module, "METHODS", names(quarnel::method_name)) < 0 ||
      add_constant(module, "CUTOFFS", names(quarnel::cutoff_name)) < 0 ||
      add_constant(module, "CODERS", names(quarnel::coder_name)) < 0 ||
      add_constant(module, "DEFAULT_OPTIONS",
                   Py_BuildValue("{s:s#,s:i,s:s#,s:s#}", "method", method.data(),
                                 static_cast<Py_ssize_t>(method.size()), "scale",
                                 static_cast<int>(defaults.scale), "cutoff", cutoff.data(),
                                 static_cast<Py_ssize_t>(cutoff.size()), "coder", coder.data(),
                                 static_cast<Py_ssize_t>(coder.size()))) < 0 ||
      add_constant(module, "HEADER_SIZE", PyLong_FromSize_t(quarnel::kHeaderSize)) < 0 ||
      add_constant(module, "MAX_SAMPLE_COUNT", PyLong_FromUnsignedLongLong(quarnel::kMaxSampleCount)) <
          0 ||
      add_constant(module, "SCALES",
                   Py_BuildValue("(ii)", quarnel::kMinScale, quarnel::kMaxScale)) < 0 ||
      add_constant(module, "DEFLATE_LEVELS",
                   Py_BuildValue("(ii)", quarnel::kMinDeflateLevel, quarnel::kMaxDeflateLevel)) <
          0 ||
      add_constant(module, "DEFAULT_DEFLATE_LEVEL",
                   PyLong_FromLong(quarnel::kDefaultDeflateLevel)) < 0 ||
      // What quarnel_tools.hdf5 writes into an HDF5 dataset's filter pipeline.
      add_constant(module, "HDF5_FILTER_ID", PyLong_FromLong(QUARNEL_H5_FILTER_ID)) < 0 ||
      add_constant(module, "HDF5_LAYOUT_VERSION", PyLong_FromLong(QUARNEL_H5_LAYOUT_VERSION)) < 0 ||
      // The caller's cd_values words, by name (the target's low word; its
      // high word follows), and how many.
      add_constant(module, "HDF5_WORDS",
                   Py_BuildValue("{s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i,s:i}", "version",
                                 QUARNEL_H5_VERSION, "mode", QUARNEL_H5_MODE, "method",
                                 QUARNEL_H5_METHOD, "scale", QUARNEL_H5_SCALE, "cutoff",
                                 QUARNEL_H5_CUTOFF, "coder", QUARNEL_H5_CODER, "target",
                                 QUARNEL_H5_TARGET_LOW, "corrections", QUARNEL_H5_CORRECTIONS,
                                 "deflate_level", QUARNEL_H5_DEFLATE_LEVEL)) < 0 ||
      add_constant(module, "HDF5_USER_VALUES", PyLong_FromLong(QUARNEL_H5_USER_VALUES)) < 0 ||
      // The fixed options' mode, then the targets' in QUARNEL_TARGET_* order.
      add_constant(module, "HDF5_MODES",
                   Py_BuildValue("(iiii)", QUARNEL_H5_MODE_FIXED, QUARNEL_H5_MODE_MAX_ERROR,
                                 QUARNEL_H5_MODE_REL_ERROR, QUARNEL_H5_MODE_PSNR)) < 0 ||
      add_constant(module, "HDF5_METHOD_ANY", PyLong_FromLong(QUARNEL_METHOD_ANY)) < 0) {
    return -1;
  }
  return 0;
}

int traverse_native(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(state_of(module)->options_capsule);
  return 0;
}

int clear_native(PyObject* module) {
  state_of(module)->options_api = nullptr;
  Py_CLEAR(state_of(module)->options_capsule);
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
    "without the interpreter lock, and the codec's names, defaults and rules.",
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
