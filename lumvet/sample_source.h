// SampleSource and SampleSink: where a level can pull its input from and push
// its output to, a chunk at a time, instead of one buffer that holds the
// whole signal.
#pragma once

#include <cstddef>

namespace lumvet {

// fill(context, from, count, out) writes input samples from .. from + count - 1
// to out[0 .. count). A transform asks for each sample once, in increasing
// order, and for no sample past the input's length. Plain function and
// context pointers: the kernels call it across their dispatch boundary.
struct SampleSource {
  void (*fill)(void* context, std::size_t from, std::size_t count, float* out);
  void* context;
};

// take(context, from, count, samples) receives output samples from .. from +
// count - 1, valid only during the call. A transform hands over each sample
// once, in increasing order.
struct SampleSink {
  void (*take)(void* context, std::size_t from, std::size_t count, const float* samples);
  void* context;
};

}  // namespace lumvet
