// The only file that talks to the NumPy C API: its function table lives in a
// variable private to this file.
#include "quarnel_py/arrays.h"

// Built against NumPy 2 headers, running on NumPy 1.22 and later as well.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#include <numpy/arrayobject.h>

#include <cstddef>
#include <memory>

#include "quarnel/quarnel.h"
#include "quarnel_py/guard.h"

namespace quarnel_py {

namespace {

// Loads the NumPy C API table on first use. The table stays cached for the
// life of the process; a failed import is retried on the next call.
bool numpy_api_ready() {
  return PyArray_ImportNumPyAPI() == 0;
}

bool is_equivalent(PyArrayObject* array, int type_number) {
  PyArray_Descr* wanted = PyArray_DescrFromType(type_number);
  const bool same = PyArray_EquivTypes(PyArray_DESCR(array), wanted);
  Py_DECREF(wanted);
  return same;
}

constexpr char kSamplesCapsuleName[] = "quarnel.samples";

template <typename Sample>
void release_samples(PyObject* capsule) {
  delete static_cast<std::vector<Sample>*>(PyCapsule_GetPointer(capsule, kSamplesCapsuleName));
}

}  // namespace

bool view_signal(PyObject* data, SignalView& view) {
  if (!numpy_api_ready()) return false;
  bool is_float32 = false;
  bool is_float64 = false;
  if (PyArray_Check(data) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(data)) == 1) {
    auto* array = reinterpret_cast<PyArrayObject*>(data);
    is_float32 = is_equivalent(array, NPY_FLOAT32);
    is_float64 = !is_float32 && is_equivalent(array, NPY_FLOAT64);
  }
  if (!is_float32 && !is_float64) {
    PyErr_SetString(PyExc_ValueError, "expected a 1-D float32 or float64 NumPy array");
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(data);
  const auto count = static_cast<std::size_t>(PyArray_DIM(array, 0));
  // An empty array goes on to the codec, which reports it.
  if (count > 0 && !(PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISALIGNED(array))) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return false;
  }
  if (is_float32) {
    view = std::span<const float>(static_cast<const float*>(PyArray_DATA(array)), count);
  } else {
    view = std::span<const double>(static_cast<const double*>(PyArray_DATA(array)), count);
  }
  return true;
}

bool read_signal(PyObject* data, const quarnel::CompressionOptions& options,
                 std::vector<float>& converted, std::span<const float>& samples) {
  SignalView view;
  if (!view_signal(data, view)) return false;
  if (const auto* narrow = std::get_if<std::span<const float>>(&view)) {
    samples = *narrow;
    return true;
  }
  const auto wide = std::get<std::span<const double>>(view);
  // A signal refused for its length alone is refused before the conversion,
  // which would first allocate and fill up to gigabytes.
  if (const auto fits = quarnel::check_compressible(wide.size(), options); !fits) {
    raise_value_error(fits.error().message());
    return false;
  }
  // Round to nearest even; magnitudes beyond float32 become infinities,
  // which the compressor sanitises.
  converted.assign(wide.begin(), wide.end());
  samples = converted;
  return true;
}

namespace {

template <typename Sample>
PyObject* to_array(std::vector<Sample>&& samples, int type_number) {
  if (!numpy_api_ready()) return nullptr;
  npy_intp count = static_cast<npy_intp>(samples.size());
  // Nothing to hand over: a plain empty array.
  if (count == 0) return PyArray_SimpleNew(1, &count, type_number);

  auto owner = std::make_unique<std::vector<Sample>>(std::move(samples));
  Sample* memory = owner->data();
  PyObject* capsule = PyCapsule_New(owner.get(), kSamplesCapsuleName, release_samples<Sample>);
  if (capsule == nullptr) return nullptr;
  owner.release();  // the capsule deletes it now

  PyObject* array = PyArray_SimpleNewFromData(1, &count, type_number, memory);
  if (array == nullptr) {
    Py_DECREF(capsule);
    return nullptr;
  }
  // Steals the capsule, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

}  // namespace

PyObject* samples_to_array(std::vector<float>&& samples) {
  return to_array(std::move(samples), NPY_FLOAT32);
}

PyObject* samples_to_array(std::vector<double>&& samples) {
  return to_array(std::move(samples), NPY_FLOAT64);
}

}  // namespace quarnel_py
