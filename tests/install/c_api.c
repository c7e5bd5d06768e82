/* The installed C interface beyond the round trip: the version query, a
   buffer sized by the bound, the header and trailer readers, and the
   error-bounded encoder for float32 and float64, each checked. Prints one
   line per check; exits 1 at the first that fails. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <quarnel/quarnel_c.h>

#define COUNT 20000

static char message[QUARNEL_MESSAGE_SIZE];

static int expect(int ok, const char* what) {
  printf("%s: %s\n", what, ok ? "ok" : "FAILED");
  if (!ok && message[0] != '\0') printf("  %s\n", message);
  return ok;
}

/* The largest |restored - samples| over `count` samples. */
static double max_error(const float* restored, const double* samples, size_t count) {
  double worst = 0.0;
  size_t i;
  for (i = 0; i < count; ++i) {
    const double e = fabs((double)restored[i] - samples[i]);
    if (e > worst) worst = e;
  }
  return worst;
}

/* Decompresses `stream` and checks the samples against `samples` within `bound`. */
static int decodes_within(const uint8_t* stream, size_t size, const double* samples, double bound) {
  float* restored;
  size_t count;
  int ok;
  if (quarnel_decompress_alloc(stream, size, 1, &restored, &count, message, sizeof message) !=
      QUARNEL_OK) {
    return 0;
  }
  ok = count == COUNT && max_error(restored, samples, count) <= bound;
  quarnel_free(restored);
  return ok;
}

int main(void) {
  static float samples[COUNT];
  static double wide[COUNT];
  static float restored[COUNT];
  quarnel_options options;
  quarnel_target target;
  quarnel_header_info header;
  quarnel_trailer_info trailer;
  uint8_t *stream, *bounded;
  size_t bound, size, bounded_size, count = COUNT, i;
  unsigned seed = 1;
  int ok = 1;

  for (i = 0; i < COUNT; ++i) {
    seed = seed * 1103515245u + 12345u;
    wide[i] = sin((double)i * 0.01) + 0.01 * ((double)(seed >> 16 & 0x7fff) / 32768.0 - 0.5);
    samples[i] = (float)wide[i];
  }

  ok &= expect(
      quarnel_version_number() == QUARNEL_VERSION_NUMBER &&
          QUARNEL_VERSION_NUMBER ==
              QUARNEL_VERSION_MAJOR * 10000 + QUARNEL_VERSION_MINOR * 100 + QUARNEL_VERSION_PATCH &&
          strcmp(quarnel_version_string(), QUARNEL_VERSION_STRING) == 0,
      "version");

  /* A NaN, which the trailer brings back. The default scale 11 quantises the
     range of about 2 in steps of 2 / 2048; the samples come back within 2 / 256. */
  samples[7] = (float)NAN;
  wide[7] = 0.0;
  quarnel_options_init(&options);
  options.trailer = 1;
  bound = quarnel_compress_bound(COUNT, &options);
  stream = malloc(bound);
  size = bound;
  ok &= expect(stream != NULL && quarnel_compress(samples, COUNT, &options, stream, &size, message,
                                                  sizeof message) == QUARNEL_OK,
               "compress into a buffer of the bound");

  header.struct_size = sizeof header;
  ok &= expect(quarnel_read_header(stream, QUARNEL_HEADER_SIZE, &header, message, sizeof message) ==
                       QUARNEL_OK &&
                   header.sample_count == COUNT && header.method == QUARNEL_METHOD_CDF97 &&
                   header.scale == 11 && QUARNEL_HEADER_SIZE + header.payload_length < size,
               "header read from the header alone");

  trailer.struct_size = sizeof trailer;
  ok &=
      expect(quarnel_read_trailer(stream, size, &trailer, message, sizeof message) == QUARNEL_OK &&
                 trailer.has_trailer == 1 && trailer.masked_count == 1,
             "trailer");

  ok &= expect(quarnel_decompress(stream, size, 2, restored, &count, message, sizeof message) ==
                       QUARNEL_OK &&
                   count == COUNT && isnan(restored[7]) &&
                   (restored[7] = 0.0f, max_error(restored, wide, COUNT) < 2.0 / 256),
               "decompress into the caller's buffer");

  quarnel_target_init(&target);
  target.value = 1e-3;
  ok &=
      expect(quarnel_compress_bounded_alloc(samples, COUNT, &target, &options, &bounded,
                                            &bounded_size, message, sizeof message) == QUARNEL_OK &&
                 bounded_size <= bound && decodes_within(bounded, bounded_size, wide, 1e-3),
             "bounded encoder, float32");
  quarnel_free(bounded);

  wide[7] = 0.5;
  target.kind = QUARNEL_TARGET_PSNR;
  target.value = 60.0;
  ok &=
      expect(quarnel_compress_bounded_f64_alloc(wide, COUNT, &target, NULL, &bounded, &bounded_size,
                                                message, sizeof message) == QUARNEL_OK &&
                 bounded_size <= quarnel_compress_bound(COUNT, NULL) &&
                 decodes_within(bounded, bounded_size, wide, 0.05),
             "bounded encoder, float64");
  quarnel_free(bounded);

  free(stream);
  return ok ? 0 : 1;
}
