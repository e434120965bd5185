// The io vector: allocation, release, and the header-hiding moves on slice 0.
#include "common/iov.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "frame/log.h"

int BUFSIZE = 450;

common_io_buf *alloc_common_io_buf(uint64_t count) {
    if (count > IOV_MAX_ALLOC) {
        LOG(LOG_ERROR, "Invalid iov array size: %lu\n", count);
        return nullptr;
    }
    auto *v = static_cast<common_io_buf *>(calloc(1, sizeof(common_io_buf)));
    if (v == nullptr) {
        LOG(LOG_ERROR, "Failed to malloc common IO buf\n");
        return nullptr;
    }
    for (uint64_t i = 0; i < count; i++) {
        void *slice = malloc(static_cast<size_t>(BUFSIZE));
        if (slice == nullptr) {
            LOG(LOG_ERROR, "Failed to malloc buf, dealloc all\n");
            free_iov(v, i + 1);
            free(v);
            return nullptr;
        }
        memset(slice, 0, static_cast<size_t>(BUFSIZE));
        v->iov[i].iov_base = slice;
        v->iov[i].iov_len = static_cast<size_t>(BUFSIZE);
    }
    return v;
}

void free_iov(common_io_buf *v, uint64_t count) {
    if (v == nullptr) {
        return;
    }
    count = std::min(count, IOV_ARRAY_SIZE);
    for (uint64_t i = 0; i < count; i++) {
        if (v->iov[i].iov_base != nullptr) {
            free(v->iov[i].iov_base);
            v->iov[i].iov_base = nullptr;
        }
    }
}

// A reused vector may hold slices beyond its current iov_cnt (a long message
// followed by a short one), so every entry is released, not only iov_cnt.
void release_common_io_buf(common_io_buf *v) {
    if (v == nullptr) {
        return;
    }
    free_iov(v, IOV_ARRAY_SIZE);
    free(v);
}

void iov_reset(common_io_buf *v, uint64_t count, uint64_t length) {
    count = std::min(count, IOV_ARRAY_SIZE);
    for (uint64_t i = 0; i < count; i++) {
        if (v->iov[i].iov_base != nullptr) {
            v->iov[i].iov_len = length;
        }
    }
}

void *iov_reserve_buf(common_io_buf *v, int n) {
    void *start = v->iov[0].iov_base;
    v->iov[0].iov_base = static_cast<char *>(start) + n;
    v->iov[0].iov_len -= static_cast<size_t>(static_cast<int64_t>(n));
    return start;
}

void *iov_restore_buf(common_io_buf *v, int n) {
    void *start = v->iov[0].iov_base;
    v->iov[0].iov_base = static_cast<char *>(start) - n;
    v->iov[0].iov_len += static_cast<size_t>(static_cast<int64_t>(n));
    return start;
}
