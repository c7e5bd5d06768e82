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

/* The C++ declarations live in an inline namespace named after the standard
   library's container layout: a program built with libstdc++'s debug mode
   (_GLIBCXX_DEBUG, whose std::vector is another type with another layout)
   that includes the C++ headers asks for quarnel::glibcxx_debug::..., which a
   library built without it does not have, and so fails to link instead of
   crashing. _GLIBCXX_ASSERTIONS adds checks but keeps the layout, so it needs
   no name of its own. quarnel/quarnel.hpp, over the C interface, works with
   either. */
#if defined(_GLIBCXX_DEBUG)
#define QUARNEL_ABI glibcxx_debug
#else
#define QUARNEL_ABI stdlib
#endif

#endif
