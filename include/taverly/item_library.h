/* Declares what a product library needs for Taverly to call it from a
   SimpleDll item: the entry function's type, the result that passes an item
   with an exitcode, and the macro that exports a function on both platforms.
   Plain C, for libraries in C and C++ alike. */
#ifndef TAVERLY_ITEM_LIBRARY_H
#define TAVERLY_ITEM_LIBRARY_H

#include <stdint.h>

/* Exports a function from the library. This is the only place that tests the
   platform: product authors include this header as it is, on Windows
   (MinGW, MSVC) and on Linux, and the export attribute differs between them. */
#if defined(_WIN32)
#define TAVERLY_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define TAVERLY_EXPORT __attribute__((visibility("default")))
#else
#define TAVERLY_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An item's entry, named by the item's "entry" attribute: no arguments, a
   32-bit result. Export it with C linkage, e.g.
     TAVERLY_EXPORT int32_t RegisterComponents(void) { ...; return TAVERLY_ENTRY_SUCCESS; } */
typedef int32_t (*TaverlyItemEntry)(void);

/* The one result that passes an item carrying an exitcode attribute; the
   listed codes are not consulted for library items. */
#define TAVERLY_ENTRY_SUCCESS (-1)

#ifdef __cplusplus
}
#endif

#endif /* TAVERLY_ITEM_LIBRARY_H */
