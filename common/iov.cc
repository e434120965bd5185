// The io vector: allocation, recycling, release, and the header-hiding moves
// on slice 0.
#include "common/iov.h"

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frame/log.h"

int BUFSIZE = 450;

namespace {

// Given-back records (their entries all null) and given-back slices, for the
// next vectors. A steady flow of messages then costs the allocator nothing;
// what is kept is bounded.
constexpr size_t RECYCLED_SLICES_MAX = 8192;  // 8 MiB in net_cdev mode
constexpr size_t RECYCLED_RECORDS_MAX = 1024;

struct recycling {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    std::vector<common_io_buf *> records;
    std::vector<void *> slices;
};

// Never destroyed: detached threads give back vectors until the process ends.
recycling &bin() {
    static recycling *r = [] {
        auto *made = new recycling;
        made->records.reserve(RECYCLED_RECORDS_MAX);
        made->slices.reserve(RECYCLED_SLICES_MAX);
        return made;
    }();
    return *r;
}

// The last thing kept in `kept`, or null when it holds none.
template <typename T>
T *take_kept(std::vector<T *> *kept) {
    recycling &r = bin();
    T *taken = nullptr;
    pthread_mutex_lock(&r.mutex);
    if (!kept->empty()) {
        taken = kept->back();
        kept->pop_back();
    }
    pthread_mutex_unlock(&r.mutex);
    return taken;
}

common_io_buf *take_record() {
    common_io_buf *v = take_kept(&bin().records);
    return v != nullptr ? v : static_cast<common_io_buf *>(calloc(1, sizeof(common_io_buf)));
}

}  // namespace

void *alloc_slice() {
    void *slice = take_kept(&bin().slices);
    return slice != nullptr ? slice : calloc(1, static_cast<size_t>(BUFSIZE));
}

common_io_buf *alloc_common_io_buf(uint64_t count) {
    if (count > IOV_MAX_ALLOC) {
        LOG(LOG_ERROR, "Invalid iov array size: %lu\n", count);
        return nullptr;
    }
    common_io_buf *v = take_record();
    if (v == nullptr) {
        LOG(LOG_ERROR, "Failed to malloc common IO buf\n");
        return nullptr;
    }
    v->iov_cnt = 0;
    v->total_len = 0;
    v->sent_len = 0;
    for (uint64_t i = 0; i < count; i++) {
        v->iov[i].iov_base = alloc_slice();
        if (v->iov[i].iov_base == nullptr) {
            LOG(LOG_ERROR, "Failed to malloc buf, dealloc all\n");
            release_common_io_buf(v);
            return nullptr;
        }
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

void release_slices_from(common_io_buf *v, uint64_t keep) {
    recycling &r = bin();
    pthread_mutex_lock(&r.mutex);
    for (uint64_t i = keep; i < IOV_ARRAY_SIZE; i++) {
        void *slice = v->iov[i].iov_base;
        if (slice != nullptr && r.slices.size() < RECYCLED_SLICES_MAX) {
            r.slices.push_back(slice);
            v->iov[i].iov_base = nullptr;
        }
    }
    pthread_mutex_unlock(&r.mutex);
    for (uint64_t i = keep; i < IOV_ARRAY_SIZE; i++) {
        free(v->iov[i].iov_base);  // what the bin had no room for
        v->iov[i].iov_base = nullptr;
        v->iov[i].iov_len = 0;
    }
}

// A reused vector may hold slices beyond its current iov_cnt (a long message
// followed by a short one), so every entry is given back, not only iov_cnt.
void release_common_io_buf(common_io_buf *v) {
    if (v == nullptr) {
        return;
    }
    release_slices_from(v, 0);
    recycling &r = bin();
    pthread_mutex_lock(&r.mutex);
    bool kept = r.records.size() < RECYCLED_RECORDS_MAX;
    if (kept) {
        r.records.push_back(v);
    }
    pthread_mutex_unlock(&r.mutex);
    if (!kept) {
        free(v);
    }
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
