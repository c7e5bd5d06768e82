// Peak heap accounting over the global operator new/delete, for the binaries
// that link peak_heap.cc (the decompressor tests and the codec benchmark).
#pragma once

#include <cstddef>
#include <functional>

namespace peak_heap {

// Peak of live heap bytes (as malloc_usable_size counts them) while `body`
// runs. Blocks allocated before it started are not in the count.
std::size_t during(const std::function<void()>& body);

}  // namespace peak_heap
