/* Compresses a file of raw float32 samples with quarnel's C interface,
   decompresses the stream and prints the ratio and the largest error.
   Usage: roundtrip FILE */
#include <stdio.h>
#include <stdlib.h>

#include <quarnel/quarnel_c.h>

int main(int argc, char** argv) {
  FILE* file;
  long bytes;
  size_t count, stream_size, restored_count, i;
  float *samples, *restored;
  uint8_t* stream;
  double max_error = 0.0, lo, hi;
  char message[QUARNEL_MESSAGE_SIZE];
  quarnel_options options;
  int code;

  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  file = fopen(argv[1], "rb");
  if (file == NULL || fseek(file, 0, SEEK_END) != 0 || (bytes = ftell(file)) < 0) {
    perror(argv[1]);
    return 2;
  }
  rewind(file);
  count = (size_t)bytes / sizeof(float);
  samples = malloc(count * sizeof(float) + 1);
  if (samples == NULL || fread(samples, sizeof(float), count, file) != count) {
    fprintf(stderr, "%s: cannot read %lu samples\n", argv[1], (unsigned long)count);
    return 2;
  }
  fclose(file);

  quarnel_options_init(&options); /* cdf97, scale 11, cutoff low, rANS coder */
  code = quarnel_compress_alloc(samples, count, &options, &stream, &stream_size, message,
                                sizeof message);
  if (code != QUARNEL_OK) {
    fprintf(stderr, "compress: %s (%s)\n", message, quarnel_error_name(code));
    return 1;
  }
  code = quarnel_decompress_alloc(stream, stream_size, 1, &restored, &restored_count, message,
                                  sizeof message);
  if (code != QUARNEL_OK || restored_count != count) {
    fprintf(stderr, "decompress: %s (%s)\n", message, quarnel_error_name(code));
    return 1;
  }

  lo = hi = count ? samples[0] : 0.0;
  for (i = 0; i < count; ++i) {
    const double error = (double)restored[i] - (double)samples[i];
    if (error > max_error) max_error = error;
    if (-error > max_error) max_error = -error;
    if (samples[i] < lo) lo = samples[i];
    if (samples[i] > hi) hi = samples[i];
  }
  printf("samples %lu, stream %lu bytes, ratio %.2f, max error %.6g, range %.6g\n",
         (unsigned long)count, (unsigned long)stream_size,
         (double)(count * sizeof(float)) / (double)stream_size, max_error, hi - lo);
  quarnel_free(stream);
  quarnel_free(restored);
  free(samples);
  return 0;
}
