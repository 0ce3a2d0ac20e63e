// Globally unique identifiers, laid out as the platform stores them (first
// three groups little-endian).
#pragma once

#include "simnt/ntdef.h"

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;

#ifdef __cplusplus
inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; i++) {
        if (a.Data4[i] != b.Data4[i]) return false;
    }
    return true;
}
#endif
