/* The C interface called from C99: the header compiles as C, and a round
   trip, a header read and refused streams behave as the C++ tests show. */
#include <stdio.h>
#include <string.h>

#include "quarnel/quarnel_c.h"

#define CHECK(condition)                                               \
  do {                                                                 \
    if (!(condition)) {                                                \
      fprintf(stderr, "%d: check failed: %s\n", __LINE__, #condition); \
      return 1;                                                        \
    }                                                                  \
  } while (0)

int main(void) {
  float samples[1000], restored[1000];
  uint8_t* stream = NULL;
  size_t stream_size = 0, count = 0, i;
  char message[QUARNEL_MESSAGE_SIZE];
  quarnel_options options;
  quarnel_header_info info;

  for (i = 0; i < 1000; ++i) samples[i] = (float)(i % 50) / 25.0f - 1.0f;
  quarnel_options_init(&options);
  options.coder = QUARNEL_CODER_DEFLATE;
  CHECK(quarnel_compress_alloc(samples, 1000, &options, &stream, &stream_size, message,
                               sizeof message) == QUARNEL_OK);
  CHECK(quarnel_decompressed_length(stream, stream_size, &count, NULL, 0) == QUARNEL_OK);
  CHECK(count == 1000);
  info.struct_size = sizeof info;
  CHECK(quarnel_read_header(stream, QUARNEL_HEADER_SIZE, &info, NULL, 0) == QUARNEL_OK);
  CHECK(info.sample_count == 1000 && info.coder == QUARNEL_CODER_DEFLATE &&
        info.method == QUARNEL_METHOD_CDF97 && info.scale == 11);
  CHECK(stream_size > QUARNEL_HEADER_SIZE + info.payload_length); /* the trailer, by default */
  CHECK(quarnel_decompress(stream, stream_size, 1, restored, &count, NULL, 0) == QUARNEL_OK);
  for (i = 0; i < 1000; ++i)
    CHECK(restored[i] - samples[i] < 0.01f && samples[i] - restored[i] < 0.01f);

  stream[0] = 'X';
  CHECK(quarnel_decompress(stream, stream_size, 1, restored, &count, message, sizeof message) ==
        QUARNEL_ERROR_INVALID_MAGIC);
  CHECK(strcmp(message, "Magic should be 'QRNL' but it was 'XRNL'") == 0);
  memset(stream, 0, QUARNEL_HEADER_SIZE);
  CHECK(quarnel_read_header(stream, stream_size, &info, message, sizeof message) ==
        QUARNEL_ERROR_INVALID_MAGIC);
  CHECK(strcmp(message, "Magic should be 'QRNL' but it was '\\x00\\x00\\x00\\x00'") == 0);
  quarnel_free(stream);
  return 0;
}
