// Progress marks of the agent's threads. See progress.h.
#include "common/progress.h"

#include "frame/util.h"

progress_marks g_progress;

void mark_progress(std::atomic<int64_t> &mark) {
    mark.store(monotonic_ms(), std::memory_order_relaxed);
}
