#include "common/task_set.h"

#include <pthread.h>
#include <signal.h>

namespace morva {

std::thread start_quiet_thread(std::function<void()> fn) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    // The new thread inherits the mask; this thread gets its own back even
    // when the thread cannot be started.
    struct Restore {
        sigset_t* mask;
        ~Restore() { pthread_sigmask(SIG_SETMASK, mask, nullptr); }
    } restore{&previous};
    return std::thread(std::move(fn));
}

}  // namespace morva
