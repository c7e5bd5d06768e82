/* The HDF5 filter's identity and the layout of its cd_values, shared by the
   plugin and the Python package that writes them.

   cd_values, 32-bit words:
     [0] layout version, QUARNEL_H5_LAYOUT_VERSION
     [1] mode: QUARNEL_H5_MODE_FIXED, or an error target (MAX_ERROR, REL_ERROR, PSNR)
     [2] method, QUARNEL_METHOD_* (a target also takes QUARNEL_METHOD_ANY)
     [3] scale (fixed options; 0 with a target)
     [4] cutoff, QUARNEL_CUTOFF_* (fixed options; 0 with a target)
     [5] coder, QUARNEL_CODER_*
     [6] [7] the target as a double: low word, high word (0 0 for fixed options)
   The filter's set_local adds, from the dataset:
     [8] bytes per sample, 4 or 8
     [9] 1 when the dataset has a fill value, else 0
     [10] [11] the fill value as a double: low word, high word
     [12] samples per row: the chunk's last dimension */
#ifndef QUARNEL_H5FILTER_H
#define QUARNEL_H5FILTER_H

/* From the range HDF5 leaves for filters that are not registered (256 to
   511); registering an id of its own is a maintainer's step. */
#define QUARNEL_H5_FILTER_ID 305

#define QUARNEL_H5_LAYOUT_VERSION 1
#define QUARNEL_H5_USER_VALUES 8
#define QUARNEL_H5_ALL_VALUES 13

/* Where set_local puts what it reads from the dataset. */
enum {
  QUARNEL_H5_SAMPLE_SIZE = 8,
  QUARNEL_H5_HAS_FILL = 9,
  QUARNEL_H5_FILL_LOW = 10,
  QUARNEL_H5_FILL_HIGH = 11,
  QUARNEL_H5_ROW_LENGTH = 12
};

enum {
  QUARNEL_H5_MODE_FIXED = 0,
  QUARNEL_H5_MODE_MAX_ERROR = 1,
  QUARNEL_H5_MODE_REL_ERROR = 2,
  QUARNEL_H5_MODE_PSNR = 3
};

#endif
