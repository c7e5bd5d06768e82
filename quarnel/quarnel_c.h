/* quarnel from C: compress 1-D float32 signals and decompress them through
   plain functions, for C programs and bindings in other languages.

   Errors. Every function returns QUARNEL_OK (0) or an error code and never
   lets a C++ exception out. A failing call writes its message into `message`
   when the caller passes one (`message_size` bytes, cut short if needed,
   always NUL-terminated; QUARNEL_MESSAGE_SIZE holds every message); the
   codec's errors carry the codec's own message text, in plain ASCII: a stored
   byte it quotes that is not printable ASCII shows as an escape ("Magic
   should be 'QRNL' but it was '\x00\x00\x00\x00'"). A call that succeeds
   leaves an empty message.

   Memory. The caller owns every buffer it passes; the library reads and
   writes them only during the call. The _alloc functions return a buffer the
   caller releases with quarnel_free. quarnel_compress_bound sizes a buffer
   for quarnel_compress.

   Threads. Every function is reentrant: nothing is kept between calls, and
   any number of threads may call at once, on the same streams and samples
   too (only the output buffers must differ). The library's one global state
   is set up once, thread-safely, on first use: which SIMD code this
   processor runs and how the transforms pad their input. `threads` in the options
   and in quarnel_decompress lets one call use more threads, which it starts
   and joins itself.

   NaN and +-inf. Without the trailer (options.trailer 0), the
   plain encoders (quarnel_compress, _alloc and _f64_alloc) code NaN and -inf
   as 0 and +inf as 1, and those values count in the signal's range: a NaN in
   a signal between 100 and 200 widens its range to 0..200 and so costs
   precision everywhere, and comes back as a number near 0. The bounded
   encoder leaves non-finite samples out of the range and of every target:
   each is coded as the finite sample before it (the first finite one for
   those at the start, 0 when none is) and comes back near that value (or, in
   a stream it takes from the plain encoder, as that one codes it). With
   the trailer (options.trailer 1) both encoders mask the non-finite samples
   (and, with has_fill_value, those equal to fill_value) out of the signal:
   they are coded like the bounded encoder's, take no part in the range, the
   mean or the error, and decompression restores their bits exactly (the
   float32 form of a float64 source's value).

   Checksums. options.trailer 1, the default, appends the trailer, which
   holds a CRC-32 of the whole stream; quarnel_decompress and
   quarnel_decompress_alloc verify it before decoding anything and refuse a
   damaged stream with QUARNEL_ERROR_STREAM_DAMAGED, and quarnel_read_trailer
   verifies it without decoding. A bare stream (options.trailer 0, the
   default of releases up to 0.1) has none: damage may be refused by the
   decoder's checks or may decode to other samples. A stream with the trailer is still a
   stream of the format: a decoder that knows nothing of the trailer reads it
   as the bare stream. So is a stream cut at its payload's end, which is why
   a reader of streams that always carry the trailer passes
   QUARNEL_REQUIRE_TRAILER (quarnel_decompress_flags): a stream without one
   is then refused as damaged. */
#ifndef QUARNEL_QUARNEL_C_H
#define QUARNEL_QUARNEL_C_H

#include <stddef.h>
#include <stdint.h>

#include "quarnel/export.h"
#include "quarnel/version.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The version of the library the program runs with, which may be newer than
   the header it was built with: QUARNEL_VERSION_NUMBER and
   QUARNEL_VERSION_STRING as the library was built. */
QUARNEL_API unsigned quarnel_version_number(void);
QUARNEL_API const char* quarnel_version_string(void);

/* Error codes, one per class of failure; no code ever changes its value or
   meaning, and new ones are appended (below 64, or from 68 for misuse).

   Reading a stream (quarnel_read_header, quarnel_decompressed_length,
   quarnel_decompress*, quarnel_read_trailer) fails with one of five codes:
     QUARNEL_ERROR_INVALID_MAGIC      not a quarnel stream;
     QUARNEL_ERROR_INVALID_VERSION    a format version this library does not read;
     QUARNEL_ERROR_STREAM_TRUNCATED   the stream ends before its header, or before
                                      the payload its header announces;
     QUARNEL_ERROR_STREAM_DAMAGED     anything else its bytes hold wrong: a header
                                      field, the payload, the trailer or its
                                      checksum, a sample count its payload cannot
                                      hold, or no trailer where one is required;
     QUARNEL_ERROR_OUT_OF_MEMORY      memory ran out while decoding;
   and, for the caller's arguments, NULL_POINTER, BAD_STRUCT_SIZE,
   UNSUPPORTED_CONFIGURATION (threads) and BUFFER_TOO_SMALL. The message is
   the codec's own, and names what it found.

   Compressing fails with INVALID_METHOD, UNKNOWN_CODER or UNSUPPORTED_SCALE
   for those options out of range, UNSUPPORTED_CONFIGURATION for any other
   option or sample count the encoders refuse (no samples, more than 2^31 - 1,
   float64 beyond float32), BOUND_UNREACHABLE, OUT_OF_MEMORY, or
   ENCODE_FAILED and TRANSFORM_FAILED for failures of the DEFLATE library or
   the transform. INVALID_FORMAT_TAG, INVALID_HEADER and
   DECOMPRESSION_FAILED are no longer returned (streams give STREAM_DAMAGED
   or STREAM_TRUNCATED instead). */
enum {
  QUARNEL_OK = 0,
  QUARNEL_ERROR_INVALID_METHOD = 1,
  QUARNEL_ERROR_INVALID_MAGIC = 2,
  QUARNEL_ERROR_INVALID_FORMAT_TAG = 3,
  QUARNEL_ERROR_INVALID_VERSION = 4,
  QUARNEL_ERROR_TRANSFORM_FAILED = 5,
  QUARNEL_ERROR_ENCODE_FAILED = 6,
  /* Also when memory runs out outside the codec: the message is then
     "Out of memory". */
  QUARNEL_ERROR_OUT_OF_MEMORY = 7,
  QUARNEL_ERROR_INVALID_HEADER = 8,
  QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION = 9,
  QUARNEL_ERROR_DECOMPRESSION_FAILED = 10,
  QUARNEL_ERROR_UNSUPPORTED_SCALE = 11,
  QUARNEL_ERROR_UNKNOWN_CODER = 12,
  /* The error-bounded encoder's: no stream meets the target. */
  QUARNEL_ERROR_BOUND_UNREACHABLE = 13,
  QUARNEL_ERROR_STREAM_DAMAGED = 14,
  QUARNEL_ERROR_STREAM_TRUNCATED = 15,
  QUARNEL_ERROR_NULL_POINTER = 64,
  QUARNEL_ERROR_BUFFER_TOO_SMALL = 65,
  QUARNEL_ERROR_BAD_STRUCT_SIZE = 66,
  /* An unexpected C++ exception (a thread that could not start, say). */
  QUARNEL_ERROR_INTERNAL = 67
};

enum {
  QUARNEL_METHOD_CDF53 = 0,
  QUARNEL_METHOD_CDF97 = 1,
  QUARNEL_METHOD_DB4 = 2,
  QUARNEL_METHOD_SYM4 = 3
};
enum { QUARNEL_CUTOFF_LOW = 0, QUARNEL_CUTOFF_MEDIUM = 1, QUARNEL_CUTOFF_HIGH = 2 };
/* Auto selects the rANS coder. */
enum { QUARNEL_CODER_DEFLATE = 0, QUARNEL_CODER_ARANS = 1, QUARNEL_CODER_AUTO = 2 };

#define QUARNEL_MESSAGE_SIZE 256

/* The most threads a call accepts; more is refused
   (QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION), as a count that large is most
   likely a negative number cast. A call starts no more threads than it can
   use: today two at most, one per byte plane of the rANS coder. */
#define QUARNEL_MAX_THREADS 1024

/* Fill with quarnel_options_init, then change what differs. Later versions
   append fields; struct_size tells the library which ones the caller has:
   it must be the size of this or an earlier version's struct (12, 32 or
   40 bytes), else the call fails with QUARNEL_ERROR_BAD_STRUCT_SIZE. */
typedef struct quarnel_options {
  uint32_t struct_size; /* sizeof(quarnel_options) */
  uint8_t method;       /* QUARNEL_METHOD_*, default CDF97 */
  uint8_t scale;        /* 6 to 12, default 11 */
  uint8_t cutoff;       /* QUARNEL_CUTOFF_*, default LOW */
  uint8_t coder;        /* QUARNEL_CODER_*, default AUTO */
  uint32_t threads;     /* threads one call may use, up to QUARNEL_MAX_THREADS; 0 or 1
                           (default): the caller's only */
  /* Appended to the first layout: 1 (default) appends the trailer; 0 writes the
     bare stream (the default up to release 0.1; a caller of the first
     layout now gets the trailer too). With has_fill_value, samples equal to
     fill_value are masked too. */
  uint32_t trailer;
  uint32_t has_fill_value;
  double fill_value;
  /* Appended to the second layout. With the trailer and a largest-error
     target, corrections 1 (default) lets the bounded encoder code a coarser
     stream and list its few samples beyond the bound in the trailer, which
     quarnel_decompress applies: readers that ignore the trailer see those
     samples off by up to quarnel_trailer_info.uncorrected_error. 0 keeps the
     bound for every reader. deflate_level, 1 (fastest) to 12 (smallest),
     default 6, is the level of a payload coded with DEFLATE; 6 gives the
     plain encoder's bytes. With the coder left to the bounded encoder, a
     sparse payload is tried with DEFLATE at level 10 at least. */
  uint32_t corrections;
  int32_t deflate_level;
} quarnel_options;

QUARNEL_API void quarnel_options_init(quarnel_options* options);

/* Compresses `sample_count` samples into `stream`, which has room for
   *stream_size bytes, and sets *stream_size to the stream's length. A stream
   that does not fit is not written: the call fails with
   QUARNEL_ERROR_BUFFER_TOO_SMALL and sets *stream_size to the length needed.
   `options` NULL takes the defaults. */
QUARNEL_API int quarnel_compress(const float* samples, size_t sample_count,
                                 const quarnel_options* options, uint8_t* stream,
                                 size_t* stream_size, char* message, size_t message_size);

/* The most bytes a stream of `sample_count` samples can take, whatever the
   samples hold: a buffer of this size never fails quarnel_compress with
   QUARNEL_ERROR_BUFFER_TOO_SMALL, and holds what every other compress call
   returns for as many samples (float32 or float64, any method, scale, cutoff,
   coder or target). With options->trailer it includes the longest trailer,
   every sample masked or corrected; without, the bare stream. `options`
   NULL takes the defaults (the trailer). 0 when the options are refused
   (struct_size, method, coder, threads) or for a count no stream holds: 0
   (the encoders refuse an empty signal) or more than 2^31 - 1. */
QUARNEL_API size_t quarnel_compress_bound(size_t sample_count, const quarnel_options* options);

/* The same into a buffer the library allocates (*stream, *stream_size bytes);
   release it with quarnel_free. */
QUARNEL_API int quarnel_compress_alloc(const float* samples, size_t sample_count,
                                       const quarnel_options* options, uint8_t** stream,
                                       size_t* stream_size, char* message, size_t message_size);

/* quarnel_compress_alloc for float64 samples: each is rounded to float32, and
   a finite sample that float32 cannot hold is refused
   (QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION). A trailer keeps the masked
   samples' float64 bits; decompression gives their float32 form. */
QUARNEL_API int quarnel_compress_f64_alloc(const double* samples, size_t sample_count,
                                           const quarnel_options* options, uint8_t** stream,
                                           size_t* stream_size, char* message, size_t message_size);

/* The error-bounded encoder: the smallest stream it finds whose decoded
   samples meet a target. */
enum { QUARNEL_TARGET_MAX_ERROR = 0, QUARNEL_TARGET_REL_ERROR = 1, QUARNEL_TARGET_PSNR = 2 };
/* The encoder chooses the wavelet. */
#define QUARNEL_METHOD_ANY 255

/* Fill with quarnel_target_init, then set kind and value: the value has no
   default (quarnel_target_init leaves it NaN, which the encoder refuses with
   QUARNEL_ERROR_UNSUPPORTED_CONFIGURATION), as no one value suits every
   signal. Later versions append fields; struct_size tells the library which
   ones the caller has. */
typedef struct quarnel_target {
  uint32_t struct_size; /* sizeof(quarnel_target) */
  uint8_t kind;         /* QUARNEL_TARGET_*, default MAX_ERROR */
  uint8_t method;       /* QUARNEL_METHOD_* pins the wavelet; default QUARNEL_METHOD_ANY */
  uint8_t coder;        /* DEFLATE or ARANS pins the coder; AUTO (default) keeps the smaller */
  double value;         /* largest error (>= 0), error as a fraction of the range, or dB */
} quarnel_target;

QUARNEL_API void quarnel_target_init(quarnel_target* target);

/* Compresses with the error-bounded encoder into a buffer the library
   allocates (release it with quarnel_free). Of `options` (NULL: the
   defaults) it takes threads, trailer and the fill value; a trailer also
   records the target and what the stream reaches. A target no stream meets
   fails with QUARNEL_ERROR_BOUND_UNREACHABLE, naming the closest figure. */
QUARNEL_API int quarnel_compress_bounded_alloc(const float* samples, size_t sample_count,
                                               const quarnel_target* target,
                                               const quarnel_options* options, uint8_t** stream,
                                               size_t* stream_size, char* message,
                                               size_t message_size);

/* The same for float64 samples: the stream holds float32 values, but the
   target is measured against the caller's float64 values, and a finite
   sample beyond the float32 range is refused. */
QUARNEL_API int quarnel_compress_bounded_f64_alloc(const double* samples, size_t sample_count,
                                                   const quarnel_target* target,
                                                   const quarnel_options* options, uint8_t** stream,
                                                   size_t* stream_size, char* message,
                                                   size_t message_size);

/* The bytes of a stream's header, which starts every stream. */
#define QUARNEL_HEADER_SIZE 52

/* What a stream's header says. The caller sets struct_size to
   sizeof(quarnel_header_info); later versions append fields, and a call fills
   only the fields of the caller's size. */
typedef struct quarnel_header_info {
  uint32_t struct_size;  /* sizeof(quarnel_header_info) */
  uint8_t method;        /* QUARNEL_METHOD_* */
  uint8_t levels;        /* transform levels */
  uint8_t scale;         /* 6 to 12 */
  uint8_t coder;         /* QUARNEL_CODER_DEFLATE or QUARNEL_CODER_ARANS */
  uint32_t sample_count; /* samples the stream decompresses to */
  float min_value;       /* the stored range, min_value to max_value; finite */
  float max_value;
  float mean_value;        /* the stored mean of the normalised signal, finite */
  uint32_t payload_length; /* bytes after the header */
} quarnel_header_info;

/* Reads the header at the start of `stream` into *info and checks it exactly
   as decompression does: a header it refuses fails with the code and message
   quarnel_decompress gives. Nothing past the header is read, so `stream` may
   be the header alone; a stream cut short, like a damaged payload, shows
   only when it is decompressed. */
QUARNEL_API int quarnel_read_header(const uint8_t* stream, size_t stream_size,
                                    quarnel_header_info* info, char* message, size_t message_size);

/* The number of samples `stream` (the whole stream) decompresses to, once
   the stream has vouched for it: the header checked as quarnel_read_header
   checks it, the trailer's checksum when there is one, and that the payload
   can hold that many samples, without decoding it. A damaged stream fails
   here as quarnel_decompress fails on it (QUARNEL_ERROR_STREAM_DAMAGED),
   except damage that only decoding shows, in a bare stream. */
QUARNEL_API int quarnel_decompressed_length(const uint8_t* stream, size_t stream_size,
                                            size_t* sample_count, char* message,
                                            size_t message_size);

/* Decompresses `stream` into `samples`, which has room for *sample_count
   floats, and sets *sample_count to the number written. When they do not
   fit, nothing is decoded: the call fails with QUARNEL_ERROR_BUFFER_TOO_SMALL
   and sets *sample_count to the number needed, once the stream has vouched
   for it as quarnel_decompressed_length checks. Up to `threads` threads work
   on the stream; 0 or 1 runs on the calling thread. A trailer is verified
   first and its masked samples restored. The samples are rebuilt in
   `samples` itself: beyond it a cdf97 stream needs the decoded coefficients
   (half the samples' bytes) and little else; the other wavelets also gather
   a level's bands as floats, up to the samples' size again. After a failure
   other than a buffer too small the contents of `samples` are unspecified. */
QUARNEL_API int quarnel_decompress(const uint8_t* stream, size_t stream_size, unsigned threads,
                                   float* samples, size_t* sample_count, char* message,
                                   size_t message_size);

/* The same into a buffer the library allocates; release it with quarnel_free. */
QUARNEL_API int quarnel_decompress_alloc(const uint8_t* stream, size_t stream_size,
                                         unsigned threads, float** samples, size_t* sample_count,
                                         char* message, size_t message_size);

/* Flags for the _flags calls. QUARNEL_REQUIRE_TRAILER refuses a stream
   without the trailer (QUARNEL_ERROR_STREAM_DAMAGED): for a reader whose
   writer always adds one, so that a stream cut at its payload's end is not
   taken for a bare stream. */
enum { QUARNEL_REQUIRE_TRAILER = 1 };

/* quarnel_decompress and quarnel_decompress_alloc with `flags`, 0 or
   QUARNEL_REQUIRE_TRAILER; those two calls are these with flags 0. */
QUARNEL_API int quarnel_decompress_flags(const uint8_t* stream, size_t stream_size,
                                         unsigned threads, unsigned flags, float* samples,
                                         size_t* sample_count, char* message, size_t message_size);
QUARNEL_API int quarnel_decompress_alloc_flags(const uint8_t* stream, size_t stream_size,
                                               unsigned threads, unsigned flags, float** samples,
                                               size_t* sample_count, char* message,
                                               size_t message_size);

/* quarnel_decompress_flags into float64 samples, for a float64 source: the
   decoded float32 samples widened, and the masked ones (non-finite samples
   and a fill value) given back with the bits the source held, which a float32
   stream cannot hold for every float64 fill. */
QUARNEL_API int quarnel_decompress_f64(const uint8_t* stream, size_t stream_size, unsigned threads,
                                       unsigned flags, double* samples, size_t* sample_count,
                                       char* message, size_t message_size);

/* What a stream's trailer holds. The caller sets struct_size to
   sizeof(quarnel_trailer_info); a call fills the fields of the caller's size. */
typedef struct quarnel_trailer_info {
  uint32_t struct_size;   /* sizeof(quarnel_trailer_info) */
  uint32_t has_trailer;   /* 0 for a bare stream: the other fields are 0 */
  uint64_t masked_count;  /* samples the trailer restores */
  double sample_rate;     /* 0 when not recorded */
  uint32_t channels;      /* 0 when not recorded */
  char source_format[32]; /* "PCM_16", "float64", ...; empty when not recorded */
  /* Appended to the first layout: samples the trailer corrects back within a
     largest-error target, and the largest error of a reader that ignores the
     trailer (0 without corrections). */
  uint64_t corrected_count;
  double uncorrected_error;
  /* Appended to the second: the grid every decoded sample is rounded to after
     its corrections, origin + k * grid_step (grid_step 0 without one). */
  double grid_origin;
  double grid_step;
} quarnel_trailer_info;

/* Reads and verifies the trailer of `stream` (the whole stream): a bare
   stream succeeds with has_trailer 0; bytes after the payload that are not a
   whole trailer, a checksum that fails, or a trailer no writer makes
   (corrections or a grid far beyond the stored range, a source format that
   is not UTF-8) give QUARNEL_ERROR_STREAM_DAMAGED. */
QUARNEL_API int quarnel_read_trailer(const uint8_t* stream, size_t stream_size,
                                     quarnel_trailer_info* info, char* message,
                                     size_t message_size);

/* Releases a buffer from quarnel_compress_alloc or quarnel_decompress_alloc;
   NULL is allowed. */
QUARNEL_API void quarnel_free(void* buffer);

/* The name of an error code ("QUARNEL_ERROR_INVALID_MAGIC"), or NULL for a
   number that is not one. */
QUARNEL_API const char* quarnel_error_name(int code);

#ifdef __cplusplus
}
#endif

#endif
