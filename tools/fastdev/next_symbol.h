// The definition an interposed function stands in front of (libc's), looked
// up once per call site: NEXT(read)(fd, buf, n).
#ifndef CDEV_TOOLS_FASTDEV_NEXT_SYMBOL_H
#define CDEV_TOOLS_FASTDEV_NEXT_SYMBOL_H

#include <dlfcn.h>

namespace fastdev {

template <class F>
F next_symbol(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace fastdev

#define NEXT_AS(type, name)                                      \
    ([] {                                                        \
        static const auto f = fastdev::next_symbol<type>(#name); \
        return f;                                                \
    }())
#define NEXT(name) NEXT_AS(decltype(&::name), name)

#endif
