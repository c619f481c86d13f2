// Entry points of com.velmar.server.port.JniSelectManager: one set of watched
// descriptors that a selecting thread waits on while any thread adds and
// removes them.  A select call reports the ready entry that was added
// earliest and takes it out of the set; the rest of the same wait is handed
// out by the following calls without another wait.
//
// A wait costs what is ready, not what is watched:
//  - Entries live in fixed tables (select_tables.h): nothing is allocated
//    after createNative.  A remove takes the newest entry of its descriptor
//    out at once.
//  - A descriptor that has been quiet for a wait sits in epoll, armed one-shot:
//    the kernel disarms it when it reports it, so no call is needed to stop
//    watching a descriptor that was reported or removed.
//  - A descriptor that was just added, or was reported by the last wait, is
//    "fresh": the next wait polls it directly together with the epoll
//    descriptor, and arms it in epoll only if it was quiet.  Since the number
//    may name another file by then (closed and reused), an add never trusts
//    an earlier registration.  A descriptor that is reported and added back
//    at once therefore costs no epoll_ctl at all.
//  - An add while the selecting thread waits arms the descriptor itself, so
//    the waiter needs no wake-up; the pipe wakes it only for what epoll does
//    not tell: the close, and a descriptor that epoll refuses (a plain file).
//  - pipe_state: who still uses the pipe and the epoll descriptor.
//    closeNative cannot close them under a thread that is about to wait on
//    them (the numbers may belong to another file by then), so the last user
//    closes them.
#include "boundary.h"
#include "com_velmar_server_port_JniSelectManager.h"
#include "select_tables.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

using namespace talvo::select_set;

constexpr uint64_t pipe_mark = ~uint64_t{0};  // epoll data of the wake-up pipe

// pipe_state bits: made; closing (no new users); then users in steps of pipe_user.
constexpr int pipe_made = 1;
constexpr int pipe_closing = 2;
constexpr int pipe_user = 4;

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
    int value = s->pipe_state.load();
    do {
        if ((value & (pipe_made | pipe_closing)) != pipe_made) return false;
    } while (!s->pipe_state.compare_exchange_weak(value, value + pipe_user));
    return true;
}

// Gives a reference back; the last user of a closing pipe closes it.
void release_pipe(select_t *s) {
    if (s->pipe_state.fetch_sub(pipe_user) == (pipe_made | pipe_closing | pipe_user)) {
        close(s->epfd);
        close(s->pipe[0]);
        close(s->pipe[1]);
    }
}

// Under the lock: sets has_update and says whether this caller must write the
// wake-up byte (then holding a pipe reference).
bool claim_wakeup(select_t *s) {
    if (s->has_update.load() != 0) return false;
    s->has_update.store(1);
    return use_pipe(s);
}

void send_wakeup(select_t *s, char byte) {
    ssize_t ignored = write(s->pipe[1], &byte, 1);
    (void)ignored;
    release_pipe(s);
}

// Arms the record in epoll for one report.  The number may name another file
// than at the last arming, so MOD falls back to ADD.  False when epoll refuses
// it (a plain file, a closed number, the wake-up pipe): it then stays fresh and is polled.
bool arm(select_t *s, int r) {
    record_t &rec = s->records[r];
    rec.arm_id = ++s->next_id;
    // A MOD of the pipe's own number would take the wake-up's registration away.
    if (rec.fd == s->pipe[0]) {
        make_fresh(s, r);
        return false;
    }
    epoll_event event{};
    event.events = EPOLLIN | EPOLLPRI | EPOLLONESHOT;
    event.data.u64 = rec.arm_id << index_bits | static_cast<uint64_t>(r);
    if (epoll_ctl(s->epfd, EPOLL_CTL_MOD, rec.fd, &event) != 0 &&
        (errno != ENOENT || epoll_ctl(s->epfd, EPOLL_CTL_ADD, rec.fd, &event) != 0)) {
        make_fresh(s, r);
        return false;
    }
    leave_fresh(s, r);
    rec.state = armed;
    return true;
}

// The next ready entry of the last wait that is still in the set, or -1.
int next_ready(select_t *s) {
    while (s->ready_pos < s->ready_count) {
        const ready_t &item = s->ready[s->ready_pos];
        if (s->entries[item.entry].seq == item.seq) return item.entry;
        ++s->ready_pos;
    }
    return -1;
}

// Reports the earliest ready entry left from the last wait; has_more says
// whether another one is left after it.
int take_ready(select_t *s) {
    s->has_more = 0;
    if (s->max.load() < 0) return -1;
    int e = next_ready(s);
    if (e < 0) return -1;
    int fd = s->records[s->entries[e].record].fd;
    drop_entry(s, e);
    s->has_more = next_ready(s) >= 0;
    return fd;
}

void mark_ready(select_t *s, int r, int &count) {
    if (s->records[r].ready_wait == s->wait_no) return;
    s->records[r].ready_wait = s->wait_no;
    s->ready_records[count++] = r;
}

// Under the lock, after a wait that polled the `snapshot` fresh descriptors
// (when `polled`) and harvested `events` epoll events: lists the ready entries
// in the order of addition and arms the fresh descriptors that were quiet.
void collect(select_t *s, int snapshot, bool polled, int events) {
    ++s->wait_no;
    int marked = 0;
    for (int i = 0; polled && i < snapshot; ++i) {
        int r = s->snap_record[i];
        record_t &rec = s->records[r];
        if (rec.count == 0 || rec.made != s->snap_made[i]) continue;  // gone since
        if (s->poll_items[i + 1].revents != 0) mark_ready(s, r, marked);
        else if (rec.state == fresh) arm(s, r);
    }
    for (int i = 0; i < events; ++i) {
        uint64_t data = s->events[i].data.u64;
        if (data == pipe_mark) {
            char buf[16];
            ssize_t ignored = read(s->pipe[0], buf, sizeof buf);
            (void)ignored;
            continue;
        }
        int r = static_cast<int>(data & ((1u << index_bits) - 1));
        record_t &rec = s->records[r];
        if (rec.count == 0 || rec.state != armed || rec.arm_id != data >> index_bits) continue;
        make_fresh(s, r);  // epoll disarmed it: the next wait looks at it directly
        mark_ready(s, r, marked);
    }
    int count = 0;
    for (int k = 0; k < marked; ++k)
        for (int e = s->records[s->ready_records[k]].oldest; e >= 0; e = s->entries[e].newer)
            s->ready[count++] = ready_t{s->entries[e].seq, e};
    // Sorting costs k log k, a walk over the set costs what is watched: take the cheaper.
    int live = s->max.load() - 1;
    if (count > 1 && count * 8 >= live) {
        count = 0;
        for (int e = s->head; e >= 0; e = s->entries[e].next)
            if (s->records[s->entries[e].record].ready_wait == s->wait_no) s->ready[count++] = ready_t{s->entries[e].seq, e};
    } else if (count > 1) {
        std::sort(s->ready, s->ready + count, [](const ready_t &a, const ready_t &b) { return a.seq < b.seq; });
    }
    s->ready_count = count;
    s->ready_pos = 0;
}

// One wait over the set; -1 for a time-out, a failure or a close.
int wait_and_take(select_t *s, int timeout) {
    for (;;) {
        int snapshot;
        {
            locked guard(s);
            if (s->max.load() <= 0 || s->waiting) return -1;  // closed, or another thread selects
            s->has_update.store(0);
            snapshot = s->fresh_count;
            s->poll_items[0] = pollfd{s->epfd, POLLIN, 0};
            for (int i = 0; i < snapshot; ++i) {
                const record_t &rec = s->records[s->fresh_list[i]];
                s->poll_items[i + 1] = pollfd{rec.fd, POLLIN | POLLPRI, 0};
                s->snap_record[i] = s->fresh_list[i];
                s->snap_made[i] = rec.made;
            }
            s->waiting = true;
        }
        int events = 0, polled = 1;
        if (snapshot == 0) {
            events = epoll_wait(s->epfd, s->events, capacity + 1, timeout);
            polled = events;
        } else {
            polled = poll(s->poll_items, static_cast<nfds_t>(snapshot + 1), timeout);
            if (polled > 0 && s->poll_items[0].revents != 0) events = epoll_wait(s->epfd, s->events, capacity + 1, 0);
        }
        locked guard(s);
        s->waiting = false;
        if (s->max.load() < 0) return -1;
        if (polled < 0 || events < 0) return -1;
        collect(s, snapshot, snapshot > 0, events);
        if (polled == 0) return -1;  // time-out: the quiet fresh ones are armed now
        if (s->ready_count > 0) return take_ready(s);
        // Only the wake-up, or events of an older arming: wait again.
    }
}

// The manager a handle names, or null for the handle 0.  A freed or invented
// handle is the caller's error.
select_t *manager(jlong manager_fd) { return talvo::from_handle<select_t>(manager_fd); }

}  // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_velmar_server_port_JniSelectManager_createNative(JNIEnv *, jobject) {
    void *record = tuk_malloc(sizeof(select_t));
    if (record == nullptr) return 0;
    return talvo::to_handle(new (record) select_t());  // all zero: max 0, mutex unlocked
}

extern "C" JNIEXPORT void JNICALL Java_com_velmar_server_port_JniSelectManager_initNative(JNIEnv *, jobject,
                                                                                        jlong manager_fd) {
    select_t *s = manager(manager_fd);
    if (s == nullptr) return;
    locked guard(s);
    if (s->max.load() != 0) return;  // already initialised, or closed
    s->thread_id = pthread_self();
    int fds[2] = {-1, -1};
    int epfd = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = pipe_mark;
    if (epfd < 0 || pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0 || epoll_ctl(epfd, EPOLL_CTL_ADD, fds[0], &event) != 0) {
        for (int fd : {epfd, fds[0], fds[1]})
            if (fd >= 0) close(fd);
        s->max.store(-1);  // nothing to wait on: answer as a closed manager
        return;
    }
    s->epfd = epfd;
    s->pipe[0] = fds[0];
    s->pipe[1] = fds[1];
    clear_tables(s);
    s->pipe_state.fetch_or(pipe_made);
    s->max.store(1);
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_server_port_JniSelectManager_addNative(JNIEnv *, jobject,
                                                                                       jlong manager_fd, jint fd) {
    select_t *s = manager(manager_fd);
    if (s == nullptr || fd < 0) return -1;
    bool wake = false;
    {
        locked guard(s);
        int end = s->max.load();
        if (end < 0 || end - 1 >= capacity) return -1;
        if (end == 0) return fd;  // not initialised: the set stays empty
        int r = add_entry(s, fd);
        // The number may name a new file: look at it afresh.  A waiting
        // thread learns of it from epoll, or from a wake-up when epoll refuses.
        if (!s->waiting) make_fresh(s, r);
        else if (!arm(s, r)) wake = claim_wakeup(s);
    }
    if (wake) send_wakeup(s, 't');
    return fd;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_server_port_JniSelectManager_removeNative(JNIEnv *, jobject,
                                                                                          jlong manager_fd, jint fd) {
    select_t *s = manager(manager_fd);
    if (s == nullptr || fd < 0) return -1;
    locked guard(s);
    int end = s->max.load();
    if (end < 0) return -1;
    if (end == 0) return fd;
    // The newest entry goes: of a descriptor added twice, the later one.
    int r = record_of(s, fd);
    if (r >= 0) drop_entry(s, s->records[r].newest);
    return fd;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_server_port_JniSelectManager_selectNative(JNIEnv *, jobject,
                                                                                          jlong manager_fd, jlong ms) {
    select_t *s = manager(manager_fd);
    if (s == nullptr) return -1;
    if (s->has_more != 0) {
        locked guard(s);
        return take_ready(s);
    }
    if (!use_pipe(s)) return -1;  // never initialised, or closed
    int fd = wait_and_take(s, static_cast<int>(ms));
    release_pipe(s);
    return fd;
}

extern "C" JNIEXPORT void JNICALL Java_com_velmar_server_port_JniSelectManager_closeNative(JNIEnv *, jobject,
                                                                                         jlong manager_fd) {
    select_t *s = manager(manager_fd);
    if (s == nullptr) return;
    bool wake;
    {
        // Under the lock, so that no call in progress stores a new max over -1.
        locked guard(s);
        if (s->max.load() < 0) return;
        s->has_update.store(1);
        s->max.store(-1);
        wake = use_pipe(s);
        s->pipe_state.fetch_or(pipe_closing);
    }
    if (wake) send_wakeup(s, ' ');
}
