// quarnel as an HDF5 filter plugin, on the C interface alone.
//
// A chunk is coded row by row along its last dimension, one stream per row
// (each with the trailer, which masks the fill value and non-finite samples
// and carries a checksum). The chunk holds, little-endian:
//   uint32 rows, uint32 length of each row's stream, then the streams.
//
// The filter is optional (h5py adds it so), and HDF5 stores a chunk the
// filter fails on as it is; what can be known when a dataset is created is
// refused there instead (can_apply, set_local).
//
// The plugin does not link libhdf5: it takes the HDF5 functions it calls
// from the library that loads it (found from the caller of
// H5PLget_plugin_info), so one binary serves Debian's libhdf5 and the copy
// that h5py's wheels bundle.
#include <H5PLextern.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include "hdf5_filter/quarnel_h5filter.h"
#include "quarnel/quarnel_c.h"

namespace {

// The HDF5 calls the filter makes, resolved at load time.
struct Hdf5 {
  decltype(&H5Epush2) epush = nullptr;
  decltype(&H5Tget_class) tget_class = nullptr;
  decltype(&H5Tget_size) tget_size = nullptr;
  decltype(&H5Tget_order) tget_order = nullptr;
  decltype(&H5Pget_chunk) pget_chunk = nullptr;
  decltype(&H5Pget_nfilters) pget_nfilters = nullptr;
  decltype(&H5Pget_filter2) pget_filter_at = nullptr;
  decltype(&H5Pget_filter_by_id2) pget_filter = nullptr;
  decltype(&H5Pmodify_filter) pmodify_filter = nullptr;
  decltype(&H5Pfill_value_defined) pfill_value_defined = nullptr;
  decltype(&H5Pget_fill_value) pget_fill_value = nullptr;
  decltype(&H5allocate_memory) allocate = nullptr;
  decltype(&H5free_memory) release = nullptr;
  // Error class and stack entries: global ids the library sets up.
  const hid_t* error_class = nullptr;
  const hid_t* major_pipeline = nullptr;
  const hid_t* minor_cant_init = nullptr;
  const hid_t* minor_cant_filter = nullptr;
  const void* library_base = nullptr;
};

Hdf5 hdf5;

template <class T>
bool resolve(void* library, const char* name, T& out) {
  out = reinterpret_cast<T>(dlsym(library, name));
  return out != nullptr;
}

bool load_hdf5(const void* caller) {
  Dl_info where{};
  if (dladdr(caller, &where) == 0 || where.dli_fname == nullptr) return false;
  // Already in memory: this only takes a handle on it.
  void* library = dlopen(where.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (library == nullptr) return false;
  Hdf5 api;
  api.library_base = where.dli_fbase;
  const bool ok = resolve(library, "H5Epush2", api.epush) &&
                  resolve(library, "H5Tget_class", api.tget_class) &&
                  resolve(library, "H5Tget_size", api.tget_size) &&
                  resolve(library, "H5Tget_order", api.tget_order) &&
                  resolve(library, "H5Pget_chunk", api.pget_chunk) &&
                  resolve(library, "H5Pget_nfilters", api.pget_nfilters) &&
                  resolve(library, "H5Pget_filter2", api.pget_filter_at) &&
                  resolve(library, "H5Pget_filter_by_id2", api.pget_filter) &&
                  resolve(library, "H5Pmodify_filter", api.pmodify_filter) &&
                  resolve(library, "H5Pfill_value_defined", api.pfill_value_defined) &&
                  resolve(library, "H5Pget_fill_value", api.pget_fill_value) &&
                  resolve(library, "H5allocate_memory", api.allocate) &&
                  resolve(library, "H5free_memory", api.release) &&
                  resolve(library, "H5E_ERR_CLS_g", api.error_class) &&
                  resolve(library, "H5E_PLINE_g", api.major_pipeline) &&
                  resolve(library, "H5E_CANTINIT_g", api.minor_cant_init) &&
                  resolve(library, "H5E_CANTFILTER_g", api.minor_cant_filter);
  // The handle stays open: the library outlives its plugins anyway.
  if (!ok) return false;
  hdf5 = api;
  return true;
}

void push_error(hid_t minor, const char* function, const char* message) {
  hdf5.epush(H5E_DEFAULT, __FILE__, function, __LINE__, *hdf5.error_class, *hdf5.major_pipeline,
             minor, "%s", message);
}

const char* class_name(H5T_class_t type_class) {
  switch (type_class) {
    case H5T_INTEGER:
      return "integer";
    case H5T_FLOAT:
      return "float";
    case H5T_TIME:
      return "time";
    case H5T_STRING:
      return "string";
    case H5T_BITFIELD:
      return "bitfield";
    case H5T_OPAQUE:
      return "opaque";
    case H5T_COMPOUND:
      return "compound";
    case H5T_REFERENCE:
      return "reference";
    case H5T_ENUM:
      return "enum";
    case H5T_VLEN:
      return "variable-length";
    case H5T_ARRAY:
      return "array";
    default:
      return "unknown";
  }
}

std::uint64_t join(unsigned low, unsigned high) {
  return static_cast<std::uint64_t>(high) << 32 | low;
}

static_assert(QUARNEL_H5_MODE_MAX_ERROR == QUARNEL_TARGET_MAX_ERROR + 1 &&
                  QUARNEL_H5_MODE_REL_ERROR == QUARNEL_TARGET_REL_ERROR + 1 &&
                  QUARNEL_H5_MODE_PSNR == QUARNEL_TARGET_PSNR + 1,
              "a target's mode is its QUARNEL_TARGET_* number plus one");
static_assert(QUARNEL_H5_ALL_VALUES == QUARNEL_H5_USER_VALUES + QUARNEL_H5_ROWS + 1,
              "set_local's words follow the caller's");

// The filter codes samples, so it must see them: a filter before it in the
// pipeline (shuffle, a checksum, another compressor) would hand it other
// bytes, and every chunk would be stored raw.
htri_t can_apply(hid_t dcpl, hid_t /*type*/, hid_t /*space*/) {
  const int count = hdf5.pget_nfilters(dcpl);
  if (count < 0) return -1;
  for (int i = 0; i < count; ++i) {
    unsigned flags = 0;
    std::size_t values = 0;
    char name[64] = {};
    unsigned config = 0;
    const H5Z_filter_t id = hdf5.pget_filter_at(dcpl, static_cast<unsigned>(i), &flags, &values,
                                                nullptr, sizeof name, name, &config);
    if (id < 0) return -1;
    if (id == QUARNEL_H5_FILTER_ID) return 1;
    char text[160];
    std::snprintf(text, sizeof text,
                  "quarnel filter: must come first in the pipeline, but %s (filter %d) comes "
                  "before it and changes the samples",
                  name[0] != '\0' ? name : "another filter", static_cast<int>(id));
    push_error(*hdf5.minor_cant_init, __func__, text);
    return -1;
  }
  return 1;
}

// Reads the dataset's type, fill value and chunk shape into cd_values.
herr_t set_local(hid_t dcpl, hid_t type, hid_t /*space*/) {
  char text[160];
  const H5T_class_t type_class = hdf5.tget_class(type);
  const std::size_t size = hdf5.tget_size(type);
  if (type_class != H5T_FLOAT || (size != 4 && size != 8)) {
    std::snprintf(text, sizeof text,
                  "quarnel compresses float32 or float64 datasets, not a %zu-byte %s type", size,
                  class_name(type_class));
    push_error(*hdf5.minor_cant_init, __func__, text);
    return -1;
  }
  if (hdf5.tget_order(type) != H5T_ORDER_LE) {
    push_error(*hdf5.minor_cant_init, __func__,
               "quarnel compresses little-endian float datasets only");
    return -1;
  }
  unsigned flags = 0;
  std::size_t count = QUARNEL_H5_ALL_VALUES;
  unsigned values[QUARNEL_H5_ALL_VALUES] = {};
  if (hdf5.pget_filter(dcpl, QUARNEL_H5_FILTER_ID, &flags, &count, values, 0, nullptr, nullptr) <
      0) {
    return -1;
  }
  if (count < QUARNEL_H5_USER_VALUES || values[QUARNEL_H5_VERSION] != QUARNEL_H5_LAYOUT_VERSION ||
      values[QUARNEL_H5_MODE] > QUARNEL_H5_MODE_PSNR) {
    std::snprintf(text, sizeof text,
                  "quarnel filter: cd_values need %d words of layout version %d, mode 0 to 3",
                  QUARNEL_H5_USER_VALUES, QUARNEL_H5_LAYOUT_VERSION);
    push_error(*hdf5.minor_cant_init, __func__, text);
    return -1;
  }
  hsize_t chunk[H5S_MAX_RANK];
  const int rank = hdf5.pget_chunk(dcpl, H5S_MAX_RANK, chunk);
  if (rank < 1) return -1;
  hsize_t rows = 1;
  for (int i = 0; i + 1 < rank; ++i) rows *= chunk[i];  // HDF5 caps a chunk at 4 GB
  if (chunk[rank - 1] > std::numeric_limits<std::int32_t>::max() ||
      rows > std::numeric_limits<std::uint32_t>::max()) {
    push_error(*hdf5.minor_cant_init, __func__, "quarnel filter: chunk rows too long for a stream");
    return -1;
  }
  unsigned* local = values + QUARNEL_H5_USER_VALUES;
  local[QUARNEL_H5_SAMPLE_SIZE] = static_cast<unsigned>(size);
  local[QUARNEL_H5_HAS_FILL] = 0;
  local[QUARNEL_H5_FILL_LOW] = local[QUARNEL_H5_FILL_HIGH] = 0;
  H5D_fill_value_t status;
  if (hdf5.pfill_value_defined(dcpl, &status) < 0) return -1;
  if (status != H5D_FILL_VALUE_UNDEFINED) {
    double fill = 0;
    if (size == 4) {
      float fill32 = 0;
      if (hdf5.pget_fill_value(dcpl, type, &fill32) < 0) return -1;
      fill = fill32;
    } else if (hdf5.pget_fill_value(dcpl, type, &fill) < 0) {
      return -1;
    }
    std::uint64_t bits;
    std::memcpy(&bits, &fill, sizeof bits);
    local[QUARNEL_H5_HAS_FILL] = 1;
    local[QUARNEL_H5_FILL_LOW] = static_cast<unsigned>(bits);
    local[QUARNEL_H5_FILL_HIGH] = static_cast<unsigned>(bits >> 32);
  }
  local[QUARNEL_H5_ROW_LENGTH] = static_cast<unsigned>(chunk[rank - 1]);
  local[QUARNEL_H5_ROWS] = static_cast<unsigned>(rows);
  return hdf5.pmodify_filter(dcpl, QUARNEL_H5_FILTER_ID, flags, QUARNEL_H5_ALL_VALUES, values);
}

struct Settings {
  quarnel_options options;
  quarnel_target target;
  bool bounded = false;
  std::size_t sample_size = 0;
  std::size_t row = 0;
  std::size_t rows = 0;  // per chunk
};

bool read_settings(std::size_t count, const unsigned values[], Settings& out) {
  const auto not_set_up = [] {
    push_error(*hdf5.minor_cant_filter, "read_settings", "quarnel filter: cd_values not set up");
    return false;
  };
  if (count < QUARNEL_H5_ALL_VALUES || values[QUARNEL_H5_VERSION] != QUARNEL_H5_LAYOUT_VERSION) {
    return not_set_up();
  }
  const unsigned* local = values + QUARNEL_H5_USER_VALUES;
  if ((local[QUARNEL_H5_SAMPLE_SIZE] != 4 && local[QUARNEL_H5_SAMPLE_SIZE] != 8) ||
      local[QUARNEL_H5_ROW_LENGTH] == 0 || local[QUARNEL_H5_ROWS] == 0) {
    return not_set_up();
  }
  quarnel_options_init(&out.options);
  out.options.trailer = 1;
  out.options.has_fill_value = local[QUARNEL_H5_HAS_FILL];
  const std::uint64_t fill_bits = join(local[QUARNEL_H5_FILL_LOW], local[QUARNEL_H5_FILL_HIGH]);
  std::memcpy(&out.options.fill_value, &fill_bits, sizeof fill_bits);
  out.options.corrections = values[QUARNEL_H5_CORRECTIONS];
  // 0: the default quarnel_options_init set; another value out of range is
  // refused by the codec with its own message.
  if (values[QUARNEL_H5_DEFLATE_LEVEL] != 0) {
    out.options.deflate_level = static_cast<std::int32_t>(std::min<unsigned>(
        values[QUARNEL_H5_DEFLATE_LEVEL], std::numeric_limits<std::int32_t>::max()));
  }
  quarnel_target_init(&out.target);
  // Out-of-range values pass on to the codec, which refuses them with its
  // own message.
  const auto byte = [](unsigned v) { return static_cast<std::uint8_t>(v > 255 ? 255 : v); };
  const unsigned mode = values[QUARNEL_H5_MODE];
  out.bounded = mode != QUARNEL_H5_MODE_FIXED;
  if (out.bounded) {
    out.target.kind = byte(mode - QUARNEL_H5_MODE_MAX_ERROR + QUARNEL_TARGET_MAX_ERROR);
    out.target.method = byte(values[QUARNEL_H5_METHOD]);
    out.target.coder = byte(values[QUARNEL_H5_CODER]);
    const std::uint64_t bits = join(values[QUARNEL_H5_TARGET_LOW], values[QUARNEL_H5_TARGET_HIGH]);
    std::memcpy(&out.target.value, &bits, sizeof bits);
  } else {
    out.options.method = byte(values[QUARNEL_H5_METHOD]);
    out.options.scale = byte(values[QUARNEL_H5_SCALE]);
    out.options.cutoff = byte(values[QUARNEL_H5_CUTOFF]);
    out.options.coder = byte(values[QUARNEL_H5_CODER]);
  }
  out.sample_size = local[QUARNEL_H5_SAMPLE_SIZE];
  out.row = local[QUARNEL_H5_ROW_LENGTH];
  out.rows = local[QUARNEL_H5_ROWS];
  return true;
}

void put_u32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t get_u32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool fail(const char* message) {
  push_error(*hdf5.minor_cant_filter, "quarnel_filter", message);
  return false;
}

bool codec_failed(int code, const char* message) {
  char text[QUARNEL_MESSAGE_SIZE + 32];
  std::snprintf(text, sizeof text, "quarnel: %s (%s)", message, quarnel_error_name(code));
  return fail(text);
}

bool encode(const Settings& s, const std::uint8_t* chunk, std::size_t bytes,
            std::vector<std::uint8_t>& out) {
  const std::size_t row_bytes = s.row * s.sample_size;
  if (bytes % row_bytes != 0) return fail("quarnel filter: chunk is not whole rows");
  const std::size_t rows = bytes / row_bytes;
  if (rows > std::numeric_limits<std::uint32_t>::max())
    return fail("quarnel filter: too many rows");
  out.assign(4 * (rows + 1), 0);
  put_u32(out, 0, static_cast<std::uint32_t>(rows));
  char message[QUARNEL_MESSAGE_SIZE];
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint8_t* at = chunk + r * row_bytes;
    std::uint8_t* stream = nullptr;
    std::size_t size = 0;
    int code;
    // HDF5's chunk buffers come from malloc: aligned for either type.
    if (s.sample_size == 4) {
      const auto* x = reinterpret_cast<const float*>(at);
      code = s.bounded ? quarnel_compress_bounded_alloc(x, s.row, &s.target, &s.options, &stream,
                                                        &size, message, sizeof message)
                       : quarnel_compress_alloc(x, s.row, &s.options, &stream, &size, message,
                                                sizeof message);
    } else {
      const auto* x = reinterpret_cast<const double*>(at);
      code = s.bounded ? quarnel_compress_bounded_f64_alloc(x, s.row, &s.target, &s.options,
                                                            &stream, &size, message, sizeof message)
                       : quarnel_compress_f64_alloc(x, s.row, &s.options, &stream, &size, message,
                                                    sizeof message);
    }
    if (code != QUARNEL_OK) return codec_failed(code, message);
    put_u32(out, 4 * (r + 1), static_cast<std::uint32_t>(size));
    out.insert(out.end(), stream, stream + size);
    quarnel_free(stream);
  }
  return true;
}

bool decode(const Settings& s, const std::uint8_t* chunk, std::size_t bytes,
            std::vector<std::uint8_t>& out) {
  if (bytes < 4) return fail("quarnel filter: chunk too short");
  const std::size_t rows = get_u32(chunk);
  if (rows > (bytes - 4) / 4) return fail("quarnel filter: chunk too short for its row table");
  // Checked before the output is sized: a damaged count must not make the
  // filter ask for gigabytes.
  if (rows != s.rows) return fail("quarnel filter: chunk holds the wrong number of rows");
  std::size_t at = 4 * (rows + 1);
  const std::size_t row_bytes = s.row * s.sample_size;
  out.resize(rows * row_bytes);
  // A float64 dataset's rows come back as float64 samples, its masked ones
  // (a fill value float32 cannot hold) with their own bits.
  std::vector<float> row(s.sample_size == 4 ? s.row : 0);
  std::vector<double> wide(s.sample_size == 8 ? s.row : 0);
  char message[QUARNEL_MESSAGE_SIZE];
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t size = get_u32(chunk + 4 * (r + 1));
    if (size > bytes - at) return fail("quarnel filter: chunk too short for its streams");
    std::size_t count = s.row;
    // Every row is written with the trailer: a row without one was cut short.
    const int code = s.sample_size == 4
                         ? quarnel_decompress_flags(chunk + at, size, 1, QUARNEL_REQUIRE_TRAILER,
                                                    row.data(), &count, message, sizeof message)
                         : quarnel_decompress_f64(chunk + at, size, 1, QUARNEL_REQUIRE_TRAILER,
                                                  wide.data(), &count, message, sizeof message);
    if (code != QUARNEL_OK) return codec_failed(code, message);
    if (count != s.row) return fail("quarnel filter: a row holds the wrong number of samples");
    const void* samples = s.sample_size == 4 ? static_cast<const void*>(row.data()) : wide.data();
    std::memcpy(out.data() + r * row_bytes, samples, row_bytes);
    at += size;
  }
  if (at != bytes) return fail("quarnel filter: bytes after the last row");
  return true;
}

// HDF5's filter callback: 0 on failure, else the bytes now in *buffer.
std::size_t quarnel_filter(unsigned flags, std::size_t count, const unsigned values[],
                           std::size_t bytes, std::size_t* buffer_size, void** buffer) {
  Settings settings;
  if (!read_settings(count, values, settings)) return 0;
  std::vector<std::uint8_t> out;
  try {
    const auto* in = static_cast<const std::uint8_t*>(*buffer);
    const bool ok = (flags & H5Z_FLAG_REVERSE) ? decode(settings, in, bytes, out)
                                               : encode(settings, in, bytes, out);
    if (!ok) return 0;
  } catch (const std::bad_alloc&) {
    fail("quarnel filter: out of memory");
    return 0;
  }
  // HDF5 frees the chunk buffer with its own allocator.
  void* result = hdf5.allocate(out.empty() ? 1 : out.size(), false);
  if (result == nullptr) {
    fail("quarnel filter: out of memory");
    return 0;
  }
  if (!out.empty()) std::memcpy(result, out.data(), out.size());
  hdf5.release(*buffer);
  *buffer = result;
  *buffer_size = out.empty() ? 1 : out.size();
  return out.size();
}

const H5Z_class2_t filter_class = {
    H5Z_CLASS_T_VERS,
    static_cast<H5Z_filter_t>(QUARNEL_H5_FILTER_ID),
    1,
    1,
    "quarnel",
    can_apply,
    set_local,
    quarnel_filter,
};

std::mutex load_mutex;

}  // namespace

extern "C" {

H5PL_type_t H5PLget_plugin_type(void) {
  return H5PL_TYPE_FILTER;
}

const void* H5PLget_plugin_info(void) {
  const void* caller = __builtin_return_address(0);
  const std::lock_guard lock(load_mutex);
  Dl_info where{};
  if (hdf5.library_base != nullptr) {
    // One HDF5 library per process image of the plugin: a second, other
    // library gets no filter rather than the first one's functions.
    if (dladdr(caller, &where) == 0 || where.dli_fbase != hdf5.library_base) return nullptr;
    return &filter_class;
  }
  return load_hdf5(caller) ? &filter_class : nullptr;
}
}
