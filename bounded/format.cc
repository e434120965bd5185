// Bounded formatted output: a table-driven format engine writing into a
// counted output stream that never goes past the destination's size.
#include <sys/types.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string_view>

#include "bounded/securec.h"

namespace {

// Engine results besides a length.
constexpr int FORMAT_ERROR = -1;
constexpr int FORMAT_TRUNCATED = -2;

// A width or precision digit arriving above this value makes the format
// invalid, so the values always fit an int.
constexpr int MAX_WIDTH_BEFORE_DIGIT = 21474836;
// Integer precisions above this are treated as this.
constexpr int MAX_INT_PRECISION = 512;
constexpr int DEFAULT_FLOAT_PRECISION = 6;
// Work buffer of a floating conversion: precision plus room for the digits
// before the point, sign and exponent of the largest value.
constexpr size_t FLOAT_BUF_EXTRA = 351;
constexpr size_t LONG_FLOAT_BUF_EXTRA = 4974;
constexpr int MAX_FLOAT_PRECISION = 214748011;
constexpr int MAX_LONG_FLOAT_PRECISION = 214743388;
// Floating work buffers up to this size live on the stack.
constexpr size_t FLOAT_STACK_BUF = 512;

// Character classes of the format engine.
enum CharClass : unsigned char {
    CLASS_OTHER,
    CLASS_PERCENT,
    CLASS_DOT,
    CLASS_STAR,
    CLASS_ZERO,
    CLASS_DIGIT,
    CLASS_FLAG,
    CLASS_SIZE,
    CLASS_TYPE,
    CLASS_COUNT
};

// States of the format engine.
enum State : unsigned char {
    STAT_NORMAL,
    STAT_PERCENT,
    STAT_FLAG,
    STAT_WIDTH,
    STAT_DOT,
    STAT_PRECIS,
    STAT_SIZE,
    STAT_TYPE,
    STAT_INVALID,
    STAT_COUNT
};

constexpr std::array<unsigned char, 256> make_class_table() {
    std::array<unsigned char, 256> t{};  // CLASS_OTHER everywhere
    t['%'] = CLASS_PERCENT;
    t['.'] = CLASS_DOT;
    t['*'] = CLASS_STAR;
    t['0'] = CLASS_ZERO;
    for (unsigned char c : std::string_view("123456789")) t[c] = CLASS_DIGIT;
    for (unsigned char c : std::string_view(" #+-")) t[c] = CLASS_FLAG;
    for (unsigned char c : std::string_view("hlLjzZtqwIN")) t[c] = CLASS_SIZE;
    for (unsigned char c : std::string_view("diouxXcCsSpeEfFgG")) t[c] = CLASS_TYPE;
    return t;
}

constexpr std::array<unsigned char, 256> g_char_class = make_class_table();

// Next state by class (rows) and current state (columns).
constexpr unsigned char g_next_state[CLASS_COUNT][STAT_COUNT] = {
    {0, 8, 8, 8, 8, 8, 8, 0, 0},  // other
    {1, 0, 8, 8, 8, 8, 8, 1, 0},  // %
    {0, 4, 4, 4, 8, 8, 8, 0, 0},  // .
    {0, 3, 3, 8, 5, 8, 8, 0, 0},  // *
    {0, 2, 2, 3, 5, 5, 8, 0, 0},  // 0
    {0, 3, 3, 3, 5, 5, 8, 0, 0},  // 1-9
    {0, 2, 2, 2, 8, 8, 8, 0, 0},  // flags
    {0, 6, 6, 6, 6, 6, 6, 0, 0},  // length modifiers
    {0, 7, 7, 7, 7, 7, 7, 0, 0},  // conversions
};

// Argument size picked by the length modifiers.
enum ArgSize : unsigned char {
    SIZE_INT,
    SIZE_CHAR,
    SIZE_SHORT,
    SIZE_LONG,
    SIZE_LLONG,
    SIZE_INTMAX,
    SIZE_SIZE_T,
    SIZE_PTRDIFF,
    SIZE_INT32
};

// One conversion as the engine collects it: flags, width, precision, size.
struct Conversion {
    bool left;
    bool plus;
    bool space;
    bool alt;
    bool zero;
    bool wide;
    bool long_double;
    ArgSize size;
    int width;
    int precision;  // -1: none given
};

// The destination as a cursor and the bytes still free behind it.
struct OutStream {
    char *cur;
    size_t left;
};

// Own copy of the argument list so helpers can take arguments from it.
struct Args {
    va_list ap;
};

// Writes n bytes; false (with the destination full) when they do not fit.
inline bool put(OutStream &out, const char *s, size_t n) {
    if (n > out.left) {
        memcpy(out.cur, s, out.left);
        out.cur += out.left;
        out.left = 0;
        return false;
    }
    memcpy(out.cur, s, n);
    out.cur += n;
    out.left -= n;
    return true;
}

inline bool put_char(OutStream &out, char c) {
    if (out.left == 0) {
        return false;
    }
    *out.cur++ = c;
    --out.left;
    return true;
}

// Writes n copies of c.
inline bool pad(OutStream &out, char c, size_t n) {
    if (n > out.left) {
        memset(out.cur, c, out.left);
        out.cur += out.left;
        out.left = 0;
        return false;
    }
    memset(out.cur, c, n);
    out.cur += n;
    out.left -= n;
    return true;
}

// Width padding still due for a field of len bytes.
inline size_t pad_len(const Conversion &conv, size_t len) {
    return static_cast<size_t>(conv.width) > len ? conv.width - len : 0;
}

// Writes a text field of len bytes padded with blanks to the width.
int put_field(OutStream &out, const Conversion &conv, const char *s, size_t len) {
    const size_t fill = pad_len(conv, len);
    if (!conv.left && !pad(out, ' ', fill)) return FORMAT_TRUNCATED;
    if (!put(out, s, len)) return FORMAT_TRUNCATED;
    if (conv.left && !pad(out, ' ', fill)) return FORMAT_TRUNCATED;
    return 0;
}

// Takes the next integer argument of the conv's size, sign-extended.
long long signed_arg(Args &args, ArgSize size) {
    switch (size) {
        case SIZE_CHAR:
            return static_cast<signed char>(va_arg(args.ap, int));
        case SIZE_SHORT:
            return static_cast<short>(va_arg(args.ap, int));
        case SIZE_LONG:
            return va_arg(args.ap, long);
        case SIZE_LLONG:
            return va_arg(args.ap, long long);
        case SIZE_INTMAX:
            return va_arg(args.ap, intmax_t);
        case SIZE_SIZE_T:
            return va_arg(args.ap, ssize_t);
        case SIZE_PTRDIFF:
            return va_arg(args.ap, ptrdiff_t);
        case SIZE_INT32:
            return va_arg(args.ap, int32_t);
        case SIZE_INT:
            break;
    }
    return va_arg(args.ap, int);
}

// Takes the next integer argument of the conv's size, zero-extended.
unsigned long long unsigned_arg(Args &args, ArgSize size) {
    switch (size) {
        case SIZE_CHAR:
            return static_cast<unsigned char>(va_arg(args.ap, unsigned int));
        case SIZE_SHORT:
            return static_cast<unsigned short>(va_arg(args.ap, unsigned int));
        case SIZE_LONG:
            return va_arg(args.ap, unsigned long);
        case SIZE_LLONG:
            return va_arg(args.ap, unsigned long long);
        case SIZE_INTMAX:
            return va_arg(args.ap, uintmax_t);
        case SIZE_SIZE_T:
            return va_arg(args.ap, size_t);
        case SIZE_PTRDIFF:
            return static_cast<size_t>(va_arg(args.ap, ptrdiff_t));
        case SIZE_INT32:
            return va_arg(args.ap, uint32_t);
        case SIZE_INT:
            break;
    }
    return va_arg(args.ap, unsigned int);
}

constexpr char LOWER_DIGITS[] = "0123456789abcdefx";
constexpr char UPPER_DIGITS[] = "0123456789ABCDEFX";

// Writes the digits of v in base 8, 10 or 16 backwards ending at end.
inline char *digits_backwards(char *end, unsigned long long v, int base, const char *table) {
    switch (base) {
        case 10:
            for (; v != 0; v /= 10) *--end = static_cast<char>('0' + v % 10);
            break;
        case 16:
            for (; v != 0; v >>= 4) *--end = table[v & 0xf];
            break;
        default:
            for (; v != 0; v >>= 3) *--end = static_cast<char>('0' + (v & 7));
            break;
    }
    return end;
}

// d i o u x X p.
int format_integer(OutStream &out, Conversion conv, char type, Args &args) {
    bool negative = false;
    unsigned long long v;
    if (type == 'd' || type == 'i') {
        const long long sv = signed_arg(args, conv.size);
        negative = sv < 0;
        v = negative ? 0ULL - static_cast<unsigned long long>(sv) : sv;
    } else if (type == 'p') {
        v = reinterpret_cast<uintptr_t>(va_arg(args.ap, void *));
        if (v == 0) {
            conv.precision = -1;
            return put_field(out, conv, "(nil)", 5);
        }
    } else {
        v = unsigned_arg(args, conv.size);
    }

    const int base = type == 'o' ? 8 : (type == 'x' || type == 'X' || type == 'p') ? 16 : 10;
    const char *table = type == 'X' ? UPPER_DIGITS : LOWER_DIGITS;
    int precision = 1;
    if (conv.precision >= 0) {
        precision = conv.precision < MAX_INT_PRECISION ? conv.precision : MAX_INT_PRECISION;
        if (type != 'p') conv.zero = false;
    }

    char buf[MAX_INT_PRECISION + 2];
    char *end = buf + sizeof(buf);
    char *digits = digits_backwards(end, v, base, table);
    const char *min_start = end - precision;
    while (digits > min_start) *--digits = '0';
    if (type == 'o' && conv.alt && (digits == end || *digits != '0')) *--digits = '0';
    const size_t ndigits = static_cast<size_t>(end - digits);

    char prefix[2];
    size_t nprefix = 0;
    if (type == 'd' || type == 'i') {
        if (negative) {
            prefix[nprefix++] = '-';
        } else if (conv.plus) {
            prefix[nprefix++] = '+';
        } else if (conv.space) {
            prefix[nprefix++] = ' ';
        }
    } else if (type == 'p' || ((type == 'x' || type == 'X') && conv.alt && v != 0)) {
        prefix[nprefix++] = '0';
        prefix[nprefix++] = table[16];
    }

    const size_t fill = pad_len(conv, nprefix + ndigits);
    const bool zero_fill = conv.zero && !conv.left;
    if (!conv.left && !zero_fill && !pad(out, ' ', fill)) return FORMAT_TRUNCATED;
    if (!put(out, prefix, nprefix)) return FORMAT_TRUNCATED;
    if (zero_fill && !pad(out, '0', fill)) return FORMAT_TRUNCATED;
    if (!put(out, digits, ndigits)) return FORMAT_TRUNCATED;
    if (conv.left && !pad(out, ' ', fill)) return FORMAT_TRUNCATED;
    return 0;
}

// Bytes of the wide string s written under the precision, or -1 when a
// character has no multibyte form. Stops before a character that would
// pass the precision.
long long wide_length(const wchar_t *s, int precision) {
    const size_t limit = precision < 0 ? SIZE_MAX : static_cast<size_t>(precision);
    size_t total = 0;
    mbstate_t state{};
    char mb[MB_LEN_MAX];
    for (; total < limit && *s != L'\0'; ++s) {
        const size_t n = wcrtomb(mb, *s, &state);
        if (n == static_cast<size_t>(-1)) return -1;
        if (n > limit - total) break;
        total += n;
    }
    return static_cast<long long>(total);
}

// Writes exactly len bytes of the wide string's multibyte form.
bool put_wide(OutStream &out, const wchar_t *s, size_t len) {
    mbstate_t state{};
    char mb[MB_LEN_MAX];
    for (size_t done = 0; done < len; ++s) {
        const size_t n = wcrtomb(mb, *s, &state);
        if (!put(out, mb, n)) return false;
        done += n;
    }
    return true;
}

// s S.
int format_string(OutStream &out, const Conversion &conv, Args &args) {
    if (conv.wide) {
        const wchar_t *ws = va_arg(args.ap, const wchar_t *);
        if (ws != nullptr) {
            const long long len = wide_length(ws, conv.precision);
            if (len < 0) return FORMAT_ERROR;
            const size_t fill = pad_len(conv, static_cast<size_t>(len));
            if (!conv.left && !pad(out, ' ', fill)) return FORMAT_TRUNCATED;
            if (!put_wide(out, ws, static_cast<size_t>(len))) return FORMAT_TRUNCATED;
            if (conv.left && !pad(out, ' ', fill)) return FORMAT_TRUNCATED;
            return 0;
        }
    }
    const char *s = conv.wide ? nullptr : va_arg(args.ap, const char *);
    if (s == nullptr) s = "(null)";
    const size_t len = conv.precision < 0 ? strlen(s) : strnlen(s, conv.precision);
    return put_field(out, conv, s, len);
}

// c C.
int format_char(OutStream &out, const Conversion &conv, Args &args) {
    if (conv.wide) {
        const wchar_t wc = static_cast<wchar_t>(va_arg(args.ap, wint_t));
        char mb[MB_LEN_MAX];
        mbstate_t state{};
        const size_t n = wcrtomb(mb, wc, &state);
        if (n == static_cast<size_t>(-1)) return FORMAT_ERROR;
        return put_field(out, conv, mb, n);
    }
    const char c = static_cast<char>(va_arg(args.ap, int));
    return put_field(out, conv, &c, 1);
}

// e E f F g G: one number through the platform's formatter into a work
// buffer sized from the precision and the width.
int format_float(OutStream &out, const Conversion &conv, char type, Args &args) {
    const int precision = conv.precision < 0 ? DEFAULT_FLOAT_PRECISION : conv.precision;
    const int max_precision = conv.long_double ? MAX_LONG_FLOAT_PRECISION : MAX_FLOAT_PRECISION;
    if (precision > max_precision) return FORMAT_ERROR;
    size_t size = static_cast<size_t>(precision) +
                  (conv.long_double ? LONG_FLOAT_BUF_EXTRA : FLOAT_BUF_EXTRA);
    if (static_cast<size_t>(conv.width) > size) size = static_cast<size_t>(conv.width) + 2;

    char stack_buf[FLOAT_STACK_BUF];
    std::unique_ptr<char[]> heap_buf;
    char *buf = stack_buf;
    if (size > FLOAT_STACK_BUF) {
        heap_buf.reset(new (std::nothrow) char[size]);
        if (!heap_buf) return FORMAT_ERROR;
        buf = heap_buf.get();
    }

    char fmt[16];
    char *f = fmt;
    *f++ = '%';
    if (conv.left) *f++ = '-';
    if (conv.plus) *f++ = '+';
    if (conv.space) *f++ = ' ';
    if (conv.alt) *f++ = '#';
    if (conv.zero) *f++ = '0';
    *f++ = '*';
    *f++ = '.';
    *f++ = '*';
    if (conv.long_double) *f++ = 'L';
    *f++ = type;
    *f = '\0';

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n =
        conv.long_double
            ? snprintf(buf, size, fmt, conv.width, precision, va_arg(args.ap, long double))
            : snprintf(buf, size, fmt, conv.width, precision, va_arg(args.ap, double));
#pragma GCC diagnostic pop
    if (n < 0 || static_cast<size_t>(n) >= size) return FORMAT_ERROR;
    return put(out, buf, static_cast<size_t>(n)) ? 0 : FORMAT_TRUNCATED;
}

int format_conversion(OutStream &out, const Conversion &conv, char type, Args &args) {
    switch (type) {
        case 's':
            return format_string(out, conv, args);
        case 'S': {
            Conversion wide = conv;
            wide.wide = true;
            return format_string(out, wide, args);
        }
        case 'c':
            return format_char(out, conv, args);
        case 'C': {
            Conversion wide = conv;
            wide.wide = true;
            return format_char(out, wide, args);
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
            return format_float(out, conv, type, args);
        default:
            return format_integer(out, conv, type, args);
    }
}

inline bool is_integer_type(char c) {
    return c != '\0' && strchr("diouxX", c) != nullptr;
}

// Applies one length modifier at *p. Returns false when it is a lone I,
// which is then ordinary text. May consume the 64 or 32 after an I.
bool apply_size(Conversion &conv, const char *&p) {
    switch (*p) {
        case 'h':
            conv.size = conv.size == SIZE_SHORT ? SIZE_CHAR : SIZE_SHORT;
            break;
        case 'l':
            conv.size = conv.size == SIZE_LONG ? SIZE_LLONG : SIZE_LONG;
            conv.wide = true;
            break;
        case 'L':
        case 'q':
            conv.size = SIZE_LLONG;
            conv.long_double = true;
            break;
        case 'j':
            conv.size = SIZE_INTMAX;
            break;
        case 'z':
        case 'Z':
            conv.size = SIZE_SIZE_T;
            break;
        case 't':
            conv.size = SIZE_PTRDIFF;
            break;
        case 'w':
            conv.wide = true;
            break;
        case 'I':
            if (p[1] == '6' && p[2] == '4') {
                conv.size = SIZE_LLONG;
                p += 2;
            } else if (p[1] == '3' && p[2] == '2') {
                conv.size = SIZE_INT32;
                p += 2;
            } else if (is_integer_type(p[1])) {
                conv.size = SIZE_LLONG;
            } else {
                return false;
            }
            break;
        default:  // N: accepted, no effect
            break;
    }
    return true;
}

// Adds a decimal digit to a width or precision; false past the limit.
inline bool add_digit(int &value, char digit) {
    if (value > MAX_WIDTH_BEFORE_DIGIT) return false;
    value = value * 10 + (digit - '0');
    return true;
}

// Runs the format through the state machine into out: 0, FORMAT_ERROR or
// FORMAT_TRUNCATED.
int run_format(OutStream &out, const char *format, Args &args) {
    unsigned char state = STAT_NORMAL;
    Conversion conv{};
    const char *p = format;
    while (*p != '\0') {
        const char ch = *p;
        const unsigned char next =
            g_next_state[g_char_class[static_cast<unsigned char>(ch)]][state];
        switch (next) {
            case STAT_NORMAL: {
                if (state == STAT_PERCENT) {  // %%
                    if (!put_char(out, '%')) return FORMAT_TRUNCATED;
                    break;
                }
                // A run of ordinary text up to the next % goes out at once.
                const char *stop = strchr(p, '%');
                const size_t n = stop != nullptr ? static_cast<size_t>(stop - p) : strlen(p);
                if (!put(out, p, n)) return FORMAT_TRUNCATED;
                p += n;
                state = STAT_NORMAL;
                continue;
            }
            case STAT_PERCENT:
                conv = Conversion{};
                conv.precision = -1;
                break;
            case STAT_FLAG:
                switch (ch) {
                    case '-':
                        conv.left = true;
                        break;
                    case '+':
                        conv.plus = true;
                        break;
                    case ' ':
                        conv.space = true;
                        break;
                    case '#':
                        conv.alt = true;
                        break;
                    default:
                        conv.zero = true;
                        break;
                }
                break;
            case STAT_WIDTH:
                if (ch == '*') {
                    const int w = va_arg(args.ap, int);
                    if (w < 0) {
                        conv.left = true;
                        conv.width = w == INT_MIN ? INT_MAX : -w;
                    } else {
                        conv.width = w;
                    }
                } else if (!add_digit(conv.width, ch)) {
                    return FORMAT_ERROR;
                }
                break;
            case STAT_DOT:
                conv.precision = 0;
                break;
            case STAT_PRECIS:
                if (ch == '*') {
                    const int prec = va_arg(args.ap, int);
                    conv.precision = prec < 0 ? -1 : prec;
                } else if (!add_digit(conv.precision, ch)) {
                    return FORMAT_ERROR;
                }
                break;
            case STAT_SIZE:
                if (!apply_size(conv, p)) {  // a lone I is ordinary text
                    if (!put_char(out, 'I')) return FORMAT_TRUNCATED;
                    state = STAT_NORMAL;
                    ++p;
                    continue;
                }
                break;
            case STAT_TYPE: {
                const int r = format_conversion(out, conv, ch, args);
                if (r != 0) return r;
                break;
            }
            default:
                return FORMAT_ERROR;
        }
        state = next;
        ++p;
    }
    return state == STAT_NORMAL || state == STAT_TYPE ? 0 : FORMAT_ERROR;
}

}  // namespace

int SecVsnprintfImpl(char *dest, size_t destMax, const char *format, va_list argList) {
    if (dest == nullptr || destMax == 0 || destMax > SECUREC_STRING_MAX_LEN) {
        return FORMAT_ERROR;
    }
    if (format == nullptr) {
        dest[0] = '\0';
        return FORMAT_ERROR;
    }
    OutStream out{dest, destMax};
    Args args;
    va_copy(args.ap, argList);
    const int r = run_format(out, format, args);
    va_end(args.ap);
    if (r == FORMAT_ERROR) {
        dest[0] = '\0';
        return FORMAT_ERROR;
    }
    if (r == FORMAT_TRUNCATED || out.left == 0) {
        dest[destMax - 1] = '\0';
        return FORMAT_TRUNCATED;
    }
    *out.cur = '\0';
    return static_cast<int>(destMax - out.left);
}

int vsprintf_s(char *dest, size_t destMax, const char *format, va_list argList) {
    if (dest == nullptr || destMax == 0 || destMax > SECUREC_STRING_MAX_LEN) {
        return -1;
    }
    if (format == nullptr) {
        dest[0] = '\0';
        return -1;
    }
    const int r = SecVsnprintfImpl(dest, destMax, format, argList);
    if (r < 0) {
        dest[0] = '\0';
        return -1;
    }
    return r;
}

int sprintf_s(char *dest, size_t destMax, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int r = vsprintf_s(dest, destMax, format, args);
    va_end(args);
    return r;
}
