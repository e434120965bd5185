// The formatting engine against the C library: conversions built from the
// input must give snprintf's text (or -1 and an empty destination when it
// does not fit); broken formats must fail cleanly.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "bounded/securec.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

constexpr size_t DEST_MAX = 600;

template <int (*F)(char *, size_t, const char *, va_list)>
int call(char *dest, size_t size, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int r = F(dest, size, format, ap);
    va_end(ap);
    return r;
}
constexpr auto engine = call<vsprintf_s>, reference = call<vsnprintf>;

// One conversion with its flags, width, precision and length modifier.
std::string make_conversion(fuzz::Input &in, char *conversion, char *length) {
    static const char conversions[] = "diouxXcsp";
    static const char *lengths[] = {"", "h", "hh", "l", "ll", "j", "z", "t"};
    uint8_t flags = in.byte();
    *conversion = conversions[in.byte() % (sizeof(conversions) - 1)];
    std::string format = "%";
    // C leaves %p to the implementation: the C library gives it a sign and
    // lets a precision cancel its 0 flag, the engine does neither.
    if (*conversion == 'p') flags &= (flags & 0x40) ? 0x69 : 0x79;
    for (int i = 0; i < 5; ++i)
        if (flags & (1 << i)) format += "-+ #0"[i];
    if (flags & 0x20) format += std::to_string(in.byte() % 40);
    if (flags & 0x40) format += "." + std::to_string(in.u16() % 513);  // above 512 the engine caps
    *length = 0;
    if (strchr("diouxX", *conversion) != nullptr) {
        const char *l = lengths[in.byte() % 8];
        format += l;
        *length = l[0] == 'l' && l[1] == 'l' ? 'L' : l[0];
    }
    return format + *conversion;
}

void check_valid(fuzz::Input &in) {
    char conversion = 0, length = 0;
    const std::string format = "<" + make_conversion(in, &conversion, &length) + ">";
    const size_t size = 1 + in.u16() % DEST_MAX;
    char got[DEST_MAX], want[2 * DEST_MAX];
    const long long value = static_cast<long long>(in.u32()) << 32 | in.u32();
    int r = -1, w = -1;
    const auto both = [&](auto arg, auto same_for_the_library) {
        r = engine(got, size, format.c_str(), arg);
        w = reference(want, sizeof(want), format.c_str(), same_for_the_library);
    };
    const char *text = value & 1 ? nullptr : "text of the fuzzer";
    void *pointer = reinterpret_cast<void *>(value & 0xFFFF);
    if (conversion == 's')
        both(text, text == nullptr ? "(null)" : text);
    else if (conversion == 'p')
        both(pointer, pointer);
    else if (length != 0 && strchr("Lljzt", length) != nullptr)
        both(value, value);
    else
        both(static_cast<int>(value), static_cast<int>(value));
    if (w < 0 || static_cast<size_t>(w) >= sizeof(want)) return;  // beyond what this compares
    if (static_cast<size_t>(w) >= size) {
        fuzz::check(r == -1 && got[0] == '\0');  // a text that does not fit leaves "" and -1
    } else if (r != w || memcmp(got, want, static_cast<size_t>(w) + 1) != 0) {
        fprintf(stderr, "format %s size %zu: got %d \"%s\", want %d \"%s\"\n", format.c_str(), size,
                r, got, w, want);
        abort();
    }
}

void check_broken(fuzz::Input &in) {
    static const char *endings[] = {"%", "%-", "%12", "%.", "%l", "%h", "%n", "%b", "%k", "%.5"};
    const std::string format = "text" + std::string(endings[in.byte() % 10]);
    std::string got(32, 'x');
    fuzz::check(engine(got.data(), got.size(), format.c_str(), 1) == -1 && got[0] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    while (!in.empty()) in.byte() % 8 == 0 ? check_broken(in) : check_valid(in);
    return 0;
}
