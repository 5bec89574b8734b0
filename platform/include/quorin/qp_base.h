/* Common definitions of the platform layer: fixed-width types and the export markers. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define QP_EXTERN_C extern "C"
#else
#define QP_EXTERN_C
#endif

/* A function of the platform layer, visible to every module of a process. */
#define QP_API QP_EXTERN_C __attribute__((visibility("default")))

/* An exported entry of one of the system's libraries (SNMPUPS.DLL, pwdown.dll,
 * ky_vexapi4.dll): plain C name, visible to the host that loads the library. */
#define QP_DLL_EXPORT QP_EXTERN_C __attribute__((visibility("default")))

/* Wait for ever. */
#define QP_INFINITE 0xFFFFFFFFu
