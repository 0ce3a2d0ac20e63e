// The one header through which driver code sees its platform. In the shipped
// build it brings in the toolchain's Windows DDK headers; on the host it
// brings in the simulated kernel, which offers the same names and semantics.
#pragma once

#if defined(_WIN32)
#include "windows/ddk.h"
#else
#include "simnt/ntddk.h"
#endif

// Code placement, marked once per routine at its definition. Pageable
// routines also begin with PAGED_CODE(), which the simulated kernel checks.
#if defined(_WIN32)
#define PAGEABLE_ROUTINE __attribute__((section("PAGE")))
#define DISCARDABLE_ROUTINE __attribute__((section("INIT")))
#else
#define PAGEABLE_ROUTINE
#define DISCARDABLE_ROUTINE
#endif
#define RESIDENT_ROUTINE

// A pool tag from its four characters as they appear in memory.
#define MAKE_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))
