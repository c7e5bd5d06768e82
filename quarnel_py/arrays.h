// The NumPy side of the binding: reading a caller's array as float32 samples
// and handing decoded samples to a new array without copying them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>
#include <vector>

#include "quarnel/quarnel.h"

namespace quarnel_py {

// Points `samples` at the samples of `data`: a 1-D float32 array is read in
// place, a 1-D float64 array is converted once into `converted` after the
// checks its length alone decides under `options`. Returns false with a
// Python error set when `data` is neither, is not contiguous and aligned, or
// fails those checks. May throw std::bad_alloc.
bool read_signal(PyObject* data, const quarnel::CompressionOptions& options,
                 std::vector<float>& converted, std::span<const float>& samples);

// A new writeable 1-D float32 array whose memory is the buffer of `samples`,
// kept alive by the array's base object. nullptr with a Python error set on
// failure. May throw std::bad_alloc.
PyObject* samples_to_array(std::vector<float>&& samples);

}  // namespace quarnel_py
