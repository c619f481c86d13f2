// Entry points of com.velmar.server.port.JniSelectManager: one poll set that a
// selecting thread waits on while any thread adds and removes descriptors.
//
// Entry 0 of the set is the read end of a wake-up pipe; the watched
// descriptors follow in the order of their addition.  A select call reports
// the ready descriptor that was added earliest and takes it out of the set.
//
// Beyond the record's described fields, four pieces of bookkeeping keep the
// scan cheap and the set safe to share:
//  - removals: a remove marks its entry through a list that the selecting
//    thread applies before each wait and each scan, so that no thread writes
//    an entry that a running poll is reading.
//  - holes: a select that only hands out a further ready entry of the same
//    wait leaves a hole (fd -1, events 0) instead of moving the tail; holes are
//    squeezed out before the next wait (or by an add that needs the room), so
//    no wait ever sees one and every visible result is that of an eager scan.
//  - waiters: the number of threads in the wait loop.  An add or remove writes
//    a wake-up byte only when one may be waiting on a stale set.
//  - pipe_state: who still uses the pipe.  closeNative cannot close the pipe
//    under a thread that is about to poll, read or write it (the numbers may
//    belong to another file by then), so the last user closes it.
#include "boundary.h"
#include "com_velmar_server_port_JniSelectManager.h"

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr int poll_capacity = 8192;
constexpr short watch_events = POLLIN | POLLPRI;

// pipe_state bits: the pipe exists; closing (no new users); then a count of
// users in steps of pipe_user.
constexpr int pipe_made = 1;
constexpr int pipe_closing = 2;
constexpr int pipe_user = 4;

struct select_t {
    int max;         // seq_cst atomic; 0 before init, -1 once closed
    int has_more;    // the selecting thread's alone
    int has_update;  // seq_cst atomic
    int pipe[2];
    pthread_t thread_id;
    pthread_mutex_t lock;
    struct pollfd poll_items[poll_capacity];

    int holes;       // atomic; entries with fd -1 below max, under the lock
    int marked;      // under the lock: some entry was removed since the last full scan
    int removals;    // seq_cst atomic, written under the lock: entries of removal_index
    int removal_index[poll_capacity];           // under the lock: entries to mark
    unsigned char removal_due[poll_capacity];   // under the lock: entry is in removal_index
    int next_ready;  // under the lock: index of the next ready entry while has_more is 1, else 0
    int waiters;     // seq_cst atomic: threads inside the wait loop
    int pipe_state;  // seq_cst atomic: pipe_made | pipe_closing | users * pipe_user
};

std::atomic_ref<int> atomic(int &word) { return std::atomic_ref<int>(word); }

class locked {
public:
    explicit locked(select_t *s) : s_(s) { pthread_mutex_lock(&s_->lock); }
    ~locked() { pthread_mutex_unlock(&s_->lock); }
    locked(const locked &) = delete;
    locked &operator=(const locked &) = delete;

private:
    select_t *s_;
};

// Takes a reference on the pipe; false when it was never made or is closing.
bool use_pipe(select_t *s) {
    auto state = atomic(s->pipe_state);
    int value = state.load();
    do {
        if ((value & (pipe_made | pipe_closing)) != pipe_made) return false;
    } while (!state.compare_exchange_weak(value, value + pipe_user));
    return true;
}

// Gives a reference back; the last user of a closing pipe closes it.
void release_pipe(select_t *s) {
    if (atomic(s->pipe_state).fetch_sub(pipe_user) == (pipe_made | pipe_closing | pipe_user)) {
        close(s->pipe[0]);
        close(s->pipe[1]);
    }
}

// Under the lock, while no wait runs: marks the entries that were removed.
void apply_removals(select_t *s) {
    auto removals = atomic(s->removals);
    int count = removals.load();
    for (int k = 0; k < count; ++k) {
        int i = s->removal_index[k];
        s->poll_items[i].events = 0;
        s->removal_due[i] = 0;
    }
    if (count > 0) removals.store(0);
}

// Under the lock, by the selecting thread or by an adder that needs the room:
// both only while no wait can be running, since a wait never starts with holes.
void squeeze_holes(select_t *s) {
    apply_removals(s);
    auto max = atomic(s->max);
    int end = max.load();
    if (end < 0) return;  // closed since the caller looked: the marker stays
    int kept = 1;
    for (int i = 1; i < end; ++i) {
        if (s->poll_items[i].fd < 0) continue;
        if (kept != i) s->poll_items[kept] = s->poll_items[i];
        ++kept;
    }
    max.store(kept);
    atomic(s->holes).store(0, std::memory_order_relaxed);
    s->next_ready = 0;
}

// Under the lock, with max > 0: sets has_update and reports whether this
// caller must write the wake-up byte (holding a pipe reference if so).
bool claim_wakeup(select_t *s) {
    if (atomic(s->waiters).load() == 0) return false;
    auto has_update = atomic(s->has_update);
    if (has_update.load() != 0) return false;
    has_update.store(1);
    return use_pipe(s);
}

void send_wakeup(select_t *s, char byte) {
    ssize_t ignored = write(s->pipe[1], &byte, 1);
    (void)ignored;
    release_pipe(s);
}

// Waits until the set, the wake-up pipe or the time-out says something.
// Returns false when the call must return -1 without a scan.  The caller
// holds a pipe reference.
bool wait_for_events(select_t *s, int timeout) {
    auto max = atomic(s->max);
    auto has_update = atomic(s->has_update);
    for (;;) {
        if (max.load() <= 0) return true;
        if (has_update.load() == 1) {
            has_update.store(0);
            continue;
        }
        // Read after has_update was cleared and after waiters was raised, so
        // that an add or remove that wrote no byte is already visible here.
        if (atomic(s->holes).load(std::memory_order_relaxed) > 0 || atomic(s->removals).load() > 0) {
            locked guard(s);
            if (atomic(s->holes).load(std::memory_order_relaxed) > 0) squeeze_holes(s);
            else apply_removals(s);
        }
        int count = max.load();
        if (count <= 0) return true;
        // A first look without waiting: a poll that may sleep registers with
        // every descriptor it passes before the first ready one, which costs
        // more than this extra call does when something is ready already.
        int ready = poll(s->poll_items, static_cast<nfds_t>(count), 0);
        if (ready == 0 && timeout != 0) ready = poll(s->poll_items, static_cast<nfds_t>(count), timeout);
        if (ready <= 0) return false;
        if (s->poll_items[0].revents == 0) return true;
        char buf[4];
        if (read(s->pipe[0], buf, 1) <= 0) return true;
    }
}

// The compacting pass over the whole set: drops removed entries and holes,
// takes out the earliest ready entry and notes where the next one is.
int full_scan(select_t *s, int end) {
    pollfd *items = s->poll_items;
    int fd = -1;
    int next = 0;
    int kept = 1;
    for (int i = 1; i < end; ++i) {
        const pollfd item = items[i];
        if (item.events == 0) continue;
        if (item.revents != 0) {
            if (fd < 0) {
                fd = item.fd;
                continue;
            }
            if (next == 0) next = kept;
        }
        if (kept != i) items[kept] = item;
        ++kept;
    }
    atomic(s->max).store(kept);
    atomic(s->holes).store(0, std::memory_order_relaxed);
    s->marked = 0;
    s->next_ready = next;
    s->has_more = next != 0;
    return fd;
}

// The same result when nothing was removed since the last scan of this wait:
// every entry below next_ready is not ready, and next_ready is live and ready.
int take_next_ready(select_t *s, int end) {
    pollfd *items = s->poll_items;
    int taken = s->next_ready;
    int fd = items[taken].fd;
    items[taken].fd = -1;
    items[taken].events = 0;
    atomic(s->holes).fetch_add(1, std::memory_order_relaxed);
    int next = 0;
    for (int i = taken + 1; i < end; ++i) {
        if (items[i].events != 0 && items[i].revents != 0) {
            next = i;
            break;
        }
    }
    s->next_ready = next;
    s->has_more = next != 0;
    return fd;
}

int scan(select_t *s) {
    bool resume = s->has_more != 0;
    s->has_more = 0;
    locked guard(s);
    int end = atomic(s->max).load();
    if (end <= 1) return -1;
    apply_removals(s);
    if (resume && s->marked == 0 && s->next_ready > 0) return take_next_ready(s, end);
    return full_scan(s, end);
}

}  // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_velmar_server_port_JniSelectManager_createNative(JNIEnv *, jobject) {
    void *record = tuk_malloc(sizeof(select_t));
    if (record == nullptr) return 0;
    memset(record, 0, sizeof(select_t));
    return talvo::to_handle(record);
}

extern "C" JNIEXPORT void JNICALL Java_com_velmar_server_port_JniSelectManager_initNative(JNIEnv *, jobject,
                                                                                        jlong manager_fd) {
    auto *s = talvo::from_handle<select_t>(manager_fd);
    if (s == nullptr) return;
    locked guard(s);
    auto max = atomic(s->max);
    if (max.load() != 0) return;  // already initialised, or closed
    s->thread_id = pthread_self();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        max.store(-1);  // nothing to wait on: answer as a closed manager
        return;
    }
    s->pipe[0] = fds[0];
    s->pipe[1] = fds[1];
    s->poll_items[0] = pollfd{fds[0], watch_events, 0};
    atomic(s->pipe_state).fetch_or(pipe_made);
    max.store(1);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_server_port_JniSelectManager_addNative(JNIEnv *, jobject,
                                                                                       jlong manager_fd, jint fd) {
    auto *s = talvo::from_handle<select_t>(manager_fd);
    if (s == nullptr || fd < 0) return -1;
    bool wake = false;
    {
        locked guard(s);
        auto max = atomic(s->max);
        int end = max.load();
        if (end < 0) return -1;
        if (end > 0) {
            if (end - atomic(s->holes).load(std::memory_order_relaxed) >= poll_capacity) return -1;
            if (end == poll_capacity) {
                squeeze_holes(s);
                end = max.load();
            }
            s->poll_items[end] = pollfd{fd, watch_events, 0};
            max.store(end + 1);
            wake = claim_wakeup(s);
        }
    }
    if (wake) send_wakeup(s, 't');
    return fd;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_server_port_JniSelectManager_removeNative(JNIEnv *, jobject,
                                                                                          jlong manager_fd, jint fd) {
    auto *s = talvo::from_handle<select_t>(manager_fd);
    if (s == nullptr || fd < 0) return -1;
    bool wake = false;
    {
        locked guard(s);
        int end = atomic(s->max).load();
        if (end < 0) return -1;
        // The newest entry first: of a descriptor added twice, the later goes.
        for (int i = end - 1; i >= 1; --i) {
            if (s->poll_items[i].fd == fd) {
                if (s->poll_items[i].events != 0 && s->removal_due[i] == 0) {
                    s->removal_due[i] = 1;
                    int count = atomic(s->removals).load();
                    s->removal_index[count] = i;
                    atomic(s->removals).store(count + 1);
                    s->marked = 1;
                }
                break;
            }
        }
        if (end > 0) wake = claim_wakeup(s);
    }
    if (wake) send_wakeup(s, 't');
    return fd;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_server_port_JniSelectManager_selectNative(JNIEnv *, jobject,
                                                                                          jlong manager_fd, jlong ms) {
    auto *s = talvo::from_handle<select_t>(manager_fd);
    if (s == nullptr) return -1;
    if (s->has_more == 0) {
        if (!use_pipe(s)) return -1;  // never initialised, or closed
        auto waiters = atomic(s->waiters);
        waiters.fetch_add(1);
        bool events = wait_for_events(s, static_cast<int>(ms));
        waiters.fetch_sub(1);
        release_pipe(s);
        if (!events) return -1;
    }
    return scan(s);
}

extern "C" JNIEXPORT void JNICALL Java_com_velmar_server_port_JniSelectManager_closeNative(JNIEnv *, jobject,
                                                                                         jlong manager_fd) {
    auto *s = talvo::from_handle<select_t>(manager_fd);
    if (s == nullptr) return;
    bool wake;
    {
        // Under the lock, so that no scan in progress stores a new max over -1.
        locked guard(s);
        auto max = atomic(s->max);
        if (max.load() < 0) return;
        atomic(s->has_update).store(1);
        max.store(-1);
        wake = use_pipe(s);
        atomic(s->pipe_state).fetch_or(pipe_closing);
    }
    if (wake) {
        send_wakeup(s, ' ');
    }
}
