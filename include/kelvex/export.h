/* Visibility of the public C names. The libraries are built with hidden
 * visibility; only names marked KELVEX_API are exported. */
#ifndef KELVEX_EXPORT_H
#define KELVEX_EXPORT_H

#if defined(KELVEX_BUILDING) && defined(__GNUC__)
#define KELVEX_API __attribute__((visibility("default")))
#else
#define KELVEX_API
#endif

#ifdef __cplusplus
#define KELVEX_BEGIN_DECLS extern "C" {
#define KELVEX_END_DECLS }
#else
#define KELVEX_BEGIN_DECLS
#define KELVEX_END_DECLS
#endif

#endif
