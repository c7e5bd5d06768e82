// The NumPy side of the binding: reading a caller's array as float32 samples
// and handing decoded samples to a new array without copying them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>
#include <variant>
#include <vector>

#include "quarnel/quarnel.h"

namespace quarnel_py {

// The samples of a 1-D float32 or float64 array, in place.
using SignalView = std::variant<std::span<const float>, std::span<const double>>;

// Points `view` at the samples of `data`. Returns false with a Python error
// set when `data` is not a 1-D float32 or float64 array, or is not
// contiguous and aligned.
bool view_signal(PyObject* data, SignalView& view);

// Points `samples` at the samples of `data`: a 1-D float32 array is read in
// place, a 1-D float64 array is converted once into `converted` after the
// checks its length alone decides under `options` (magnitudes beyond
// float32 become infinities, as the module quarnel has it). Returns false
// with a Python error set when view_signal() refuses `data`, or the
// conversion fails those checks. May throw std::bad_alloc.
bool read_signal(PyObject* data, const quarnel::CompressionOptions& options,
                 std::vector<float>& converted, std::span<const float>& samples);

// A new writeable 1-D float32 (float64) array whose memory is the buffer of
// `samples`, kept alive by the array's base object. nullptr with a Python
// error set on failure. May throw std::bad_alloc.
PyObject* samples_to_array(std::vector<float>&& samples);
PyObject* samples_to_array(std::vector<double>&& samples);

}  // namespace quarnel_py
