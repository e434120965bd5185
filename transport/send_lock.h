// The send lock: held for every whole message written to the device, so the
// bytes or slices of two messages never interleave. It is handed over in the
// order it was asked for: a writer that releases it and asks again at once
// would otherwise take it ahead of the others time after time, and under
// load some links would wait for seconds.
//
// A writer may bring its write along (send_lock_run): whoever holds the lock
// when it lets go runs the writes waiting in line itself, in their order,
// before it hands the lock over. The device is then written without waiting
// for each writer's thread to be woken and scheduled in turn, and each
// writer is woken once, when its message is out.
#pragma once

#include <pthread.h>

#include <cstdint>

// Guards the lock's own state (whether it is held, who waits); held only for
// a moment, never across a write.
extern pthread_mutex_t g_Send_Msg_Mutex;

void send_lock_acquire();
// Gives up at `deadline_ms` (monotonic milliseconds); true when acquired. An
// urgent acquirer goes ahead of the waiting writes that are not urgent.
bool send_lock_acquire_until(int64_t deadline_ms, bool urgent = false);
void send_lock_release();
// Runs write(arg) under the send lock, on this thread or on the holder's,
// and returns its result with its errno. `write` must not take the lock. An
// urgent write (a header-only message: a request, an answer, a CLOSE) goes
// ahead of the waiting writes that are not, so that a link's set-up or end
// does not wait behind the data of thousands of others.
int64_t send_lock_run(int64_t (*write)(void *arg), void *arg, bool urgent = false);

// Holds the send lock for one scope. Cancellation is deferred meanwhile, so a
// worker cancelled at shutdown never leaves the lock taken.
class send_lock_guard {
  public:
    send_lock_guard();
    ~send_lock_guard();
    send_lock_guard(const send_lock_guard &) = delete;
    send_lock_guard &operator=(const send_lock_guard &) = delete;

  private:
    int old_cancel_state_;
};
