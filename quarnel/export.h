/* What the installed library exports. It is built with hidden visibility, so
   only declarations marked QUARNEL_API are visible to its users. Plain C: the
   C interface includes it too. */
#ifndef QUARNEL_EXPORT_H
#define QUARNEL_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define QUARNEL_API __attribute__((visibility("default")))
#else
#define QUARNEL_API
#endif

#endif
