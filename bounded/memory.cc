// Bounds-checked copy and fill: the error paths behind the inline fast paths
// of memcpy_s and memset_s, the small-size variants and strcpy_s.
#include <cstdint>
#include <cstring>

#include "bounded/securec.h"

namespace {

// Largest copy the small-size copy paths handle without the block copy.
constexpr size_t SMALL_COPY_MAX = 64;
// Largest fill the small-size fill paths handle without the platform fill.
constexpr size_t SMALL_FILL_MAX = 32;
// Largest string (with its NUL) strcpy_s moves without the block copy.
constexpr size_t SMALL_STRING_MAX = 32;
constexpr size_t WORD = sizeof(uint64_t);

// True when [a, a+n) and [b, b+n) share at least one byte.
inline bool ranges_overlap(const void *a, const void *b, size_t n) {
    const uintptr_t x = reinterpret_cast<uintptr_t>(a);
    const uintptr_t y = reinterpret_cast<uintptr_t>(b);
    return x < y + n && y < x + n;
}

inline bool word_aligned(const void *p) {
    return reinterpret_cast<uintptr_t>(p) % WORD == 0;
}

// Copies n bytes with fixed-size moves: whole words when both ends are
// word-aligned, single bytes otherwise.
inline void copy_small(void *dest, const void *src, size_t n) {
    auto *d = static_cast<unsigned char *>(dest);
    const auto *s = static_cast<const unsigned char *>(src);
    if (word_aligned(d) && word_aligned(s)) {
        for (; n >= WORD; n -= WORD, d += WORD, s += WORD) {
            memcpy(d, s, WORD);  // one word move
        }
    }
    for (; n > 0; --n) {
        *d++ = *s++;
    }
}

// Fills n bytes with inline stores: whole words when the destination is
// word-aligned (zero needs no pattern), single bytes otherwise.
inline void fill_small(void *dest, int c, size_t n) {
    auto *d = static_cast<unsigned char *>(dest);
    if (word_aligned(d)) {
        const uint64_t pattern = c == 0 ? 0 : static_cast<unsigned char>(c) * 0x0101010101010101ULL;
        for (; n >= WORD; n -= WORD, d += WORD) {
            memcpy(d, &pattern, WORD);  // one word store
        }
    }
    for (; n > 0; --n) {
        *d++ = static_cast<unsigned char>(c);
    }
}

// Decides the result of a strcpy_s call that failed the fast test.
__attribute__((noinline)) int strcpy_error(char *dest, size_t destMax, const char *src) {
    if (destMax == 0 || destMax > SECUREC_STRING_MAX_LEN) {
        return ERANGE_S;
    }
    if (src == nullptr) {
        if (dest == nullptr) {
            return EINVAL_S;
        }
        dest[0] = '\0';
        return EINVAL_AND_RESET;
    }
    if (dest == nullptr) {
        return EINVAL_S;
    }
    if (dest == src && strnlen(src, destMax) < destMax) {
        return EOK;
    }
    dest[0] = '\0';
    return ERANGE_AND_RESET;
}

inline bool copy_fits(const void *dest, size_t destMax, const void *src, size_t count) {
    return count <= destMax && dest != nullptr && src != nullptr && count != 0 &&
           !ranges_overlap(dest, src, count);
}

inline bool fill_fits(const void *dest, size_t destMax, size_t count) {
    return dest != nullptr && count <= destMax;
}

// Short copies and fills take the inline moves, longer ones the platform's.
inline void copy_sized(void *dest, const void *src, size_t count) {
    if (count <= SMALL_COPY_MAX) {
        copy_small(dest, src, count);
    } else {
        memcpy(dest, src, count);
    }
}

inline void fill_sized(void *dest, int c, size_t count) {
    if (count <= SMALL_FILL_MAX) {
        fill_small(dest, c, count);
    } else {
        memset(dest, c, count);
    }
}

}  // namespace

int SecMemcpyError(void *dest, size_t destMax, const void *src, size_t count) {
    if (destMax == 0 || destMax > SECUREC_MEM_MAX_LEN) {
        return ERANGE_S;
    }
    if (src == nullptr) {
        if (dest == nullptr) {
            return EINVAL_S;
        }
        memset(dest, 0, destMax);
        return EINVAL_AND_RESET;
    }
    if (dest == nullptr) {
        return EINVAL_S;
    }
    if (count > destMax) {
        memset(dest, 0, destMax);
        return ERANGE_AND_RESET;
    }
    if (dest != src && ranges_overlap(dest, src, count)) {
        memset(dest, 0, destMax);
        return EOVERLAP_AND_RESET;
    }
    return EOK;  // nothing to copy: count 0, or dest is src
}

int SecMemsetError(void *dest, size_t destMax, int c, size_t count) {
    if (destMax == 0 || destMax > SECUREC_MEM_MAX_LEN) {
        return ERANGE_S;
    }
    if (dest == nullptr) {
        return EINVAL_S;
    }
    if (count > destMax) {
        memset(dest, c, destMax);
        return ERANGE_AND_RESET;
    }
    return EOK;
}

int memcpy_sOptAsm(void *dest, size_t destMax, const void *src, size_t count) {
    if (destMax <= SECUREC_MEM_MAX_LEN && copy_fits(dest, destMax, src, count)) {
        copy_sized(dest, src, count);
        return EOK;
    }
    return SecMemcpyError(dest, destMax, src, count);
}

int memcpy_sOptTc(void *dest, size_t destMax, const void *src, size_t count) {
    if (copy_fits(dest, destMax, src, count)) {
        copy_sized(dest, src, count);
        return EOK;
    }
    return SecMemcpyError(dest, destMax, src, count);
}

int memset_sOptAsm(void *dest, size_t destMax, int c, size_t count) {
    if (destMax <= SECUREC_MEM_MAX_LEN && fill_fits(dest, destMax, count)) {
        fill_sized(dest, c, count);
        return EOK;
    }
    return SecMemsetError(dest, destMax, c, count);
}

int memset_sOptTc(void *dest, size_t destMax, int c, size_t count) {
    if (fill_fits(dest, destMax, count)) {
        fill_sized(dest, c, count);
        return EOK;
    }
    return SecMemsetError(dest, destMax, c, count);
}

int strcpy_s(char *dest, size_t destMax, const char *src) {
    if (destMax - 1 < SECUREC_STRING_MAX_LEN && dest != nullptr && src != nullptr && dest != src) {
        const size_t len = strnlen(src, destMax);
        if (len < destMax) {
            if (ranges_overlap(dest, src, len + 1)) {
                dest[0] = '\0';
                return EOVERLAP_AND_RESET;
            }
            if (len + 1 <= SMALL_STRING_MAX) {
                copy_small(dest, src, len + 1);
            } else {
                memcpy(dest, src, len + 1);
            }
            return EOK;
        }
    }
    return strcpy_error(dest, destMax, src);
}
