// Bounds-checked copy, fill and formatting routines. Every fixed buffer of the
// agent is written through these: each takes the destination's size, never
// writes past it, and reports misuse as a positive code (or -1 for the
// formatting routines) with the destination left in a defined state.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Largest destination size accepted by every routine.
constexpr size_t SECUREC_MEM_MAX_LEN = 0x7fffffffUL;
constexpr size_t SECUREC_STRING_MAX_LEN = 0x7fffffffUL;

// Result codes (plain ints). Codes above 128 mean the destination was reset.
constexpr int EOK = 0;
constexpr int EINVAL_S = 22;
constexpr int ERANGE_S = 34;
constexpr int EINVAL_AND_RESET = 22 + 128;
constexpr int ERANGE_AND_RESET = 34 + 128;
constexpr int EOVERLAP_AND_RESET = 54 + 128;

// Classify a memcpy_s or memset_s call that failed the fast test, resetting
// the destination where the result says so.
int SecMemcpyError(void *dest, size_t destMax, const void *src, size_t count);
int SecMemsetError(void *dest, size_t destMax, int c, size_t count);

// The fast paths are inline so a sound call costs a few comparisons next to
// the block copy or fill itself.
inline int memcpy_s(void *dest, size_t destMax, const void *src, size_t count) {
    const uintptr_t d = reinterpret_cast<uintptr_t>(dest);
    const uintptr_t s = reinterpret_cast<uintptr_t>(src);
    // One branch: the tests are combined without short-circuiting.
    if ((count <= destMax) & (destMax <= SECUREC_MEM_MAX_LEN) & (d != 0) & (s != 0) & (count != 0) &
        ((d + count <= s) | (s + count <= d))) {
        memcpy(dest, src, count);
        return EOK;
    }
    return SecMemcpyError(dest, destMax, src, count);
}

inline int memset_s(void *dest, size_t destMax, int c, size_t count) {
    if ((count <= destMax) & (destMax <= SECUREC_MEM_MAX_LEN) & (dest != nullptr)) {
        memset(dest, c, count);
        return EOK;
    }
    return SecMemsetError(dest, destMax, c, count);
}

int strcpy_s(char *dest, size_t destMax, const char *src);

// Same contract as memcpy_s/memset_s with inline paths for small sizes. The Tc
// variants skip the maximum-size test on their fast path.
int memcpy_sOptAsm(void *dest, size_t destMax, const void *src, size_t count);
int memcpy_sOptTc(void *dest, size_t destMax, const void *src, size_t count);
int memset_sOptAsm(void *dest, size_t destMax, int c, size_t count);
int memset_sOptTc(void *dest, size_t destMax, int c, size_t count);

// Formatted output: the length written (without the NUL), or -1 with the
// destination left as the empty string.
int sprintf_s(char *dest, size_t destMax, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int vsprintf_s(char *dest, size_t destMax, const char *format, va_list argList);

// The formatting core: the length, -1 on a format or resource error, -2 when
// the text (with its NUL) does not fit.
int SecVsnprintfImpl(char *dest, size_t destMax, const char *format, va_list argList);
