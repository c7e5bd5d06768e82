/* The HDF5 filter's identity and the layout of its cd_values, shared by the
   plugin and the Python package that writes them.

   cd_values, 32-bit words, layout version 2:
     [0] layout version, QUARNEL_H5_LAYOUT_VERSION
     [1] mode: QUARNEL_H5_MODE_FIXED, or an error target (MAX_ERROR, REL_ERROR, PSNR)
     [2] method, QUARNEL_METHOD_* (a target also takes QUARNEL_METHOD_ANY)
     [3] scale (fixed options; 0 with a target)
     [4] cutoff, QUARNEL_CUTOFF_* (fixed options; 0 with a target)
     [5] coder, QUARNEL_CODER_*
     [6] [7] the target as a double: low word, high word (0 0 for fixed options)
     [8] corrections, 1 or 0 (quarnel_options.corrections)
     [9] DEFLATE level; 0 takes the codec's default
   The filter's set_local adds, from the dataset:
     [10] bytes per sample, 4 or 8
     [11] 1 when the dataset has a fill value, else 0
     [12] [13] the fill value as a double: low word, high word
     [14] samples per row: the chunk's last dimension
     [15] rows per chunk: the product of the chunk's other dimensions
   Streams always carry the trailer: no word says otherwise. Layout version
   1 went with the filter's former id, which this plugin no longer answers
   to. */
#ifndef QUARNEL_H5FILTER_H
#define QUARNEL_H5FILTER_H

/* From the range HDF5 leaves for filters that are not registered (256 to
   511), away from the ids registered there (305 and 307); registering an id
   of its own is a maintainer's step. */
#define QUARNEL_H5_FILTER_ID 471

#define QUARNEL_H5_LAYOUT_VERSION 2
#define QUARNEL_H5_USER_VALUES 10
#define QUARNEL_H5_ALL_VALUES 16

/* The words the caller writes. */
enum {
  QUARNEL_H5_VERSION = 0,
  QUARNEL_H5_MODE = 1,
  QUARNEL_H5_METHOD = 2,
  QUARNEL_H5_SCALE = 3,
  QUARNEL_H5_CUTOFF = 4,
  QUARNEL_H5_CODER = 5,
  QUARNEL_H5_TARGET_LOW = 6,
  QUARNEL_H5_TARGET_HIGH = 7,
  QUARNEL_H5_CORRECTIONS = 8,
  QUARNEL_H5_DEFLATE_LEVEL = 9
};

/* Where set_local puts what it reads from the dataset: these positions after
   the caller's words (QUARNEL_H5_USER_VALUES). */
enum {
  QUARNEL_H5_SAMPLE_SIZE = 0,
  QUARNEL_H5_HAS_FILL = 1,
  QUARNEL_H5_FILL_LOW = 2,
  QUARNEL_H5_FILL_HIGH = 3,
  QUARNEL_H5_ROW_LENGTH = 4,
  QUARNEL_H5_ROWS = 5
};

/* A target's mode is its QUARNEL_TARGET_* number plus one (checked where
   the filter is built). */
enum {
  QUARNEL_H5_MODE_FIXED = 0,
  QUARNEL_H5_MODE_MAX_ERROR = 1,
  QUARNEL_H5_MODE_REL_ERROR = 2,
  QUARNEL_H5_MODE_PSNR = 3
};

#endif
