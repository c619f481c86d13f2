// The select manager without a JVM: its entry points never touch env.
#include "sockets.h"
#include "com_velmar_server_port_JniSelectManager.h"

#include <atomic>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <random>
#include <vector>

namespace {
// Run once by the next pthread_mutex_lock of the thread that set it.
thread_local void (*on_next_lock)() = nullptr;
}  // namespace

// Replaced in this program so that a test can act at the moment a call first
// takes the manager's lock; every lock is still the real one.
extern "C" int pthread_mutex_lock(pthread_mutex_t *mutex) {
    using lock_fn = int (*)(pthread_mutex_t *);
    static std::atomic<lock_fn> real{nullptr};
    lock_fn lock = real.load(std::memory_order_relaxed);
    if (lock == nullptr) {
        lock = reinterpret_cast<lock_fn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
        real.store(lock, std::memory_order_relaxed);
    }
    if (void (*hook)() = on_next_lock) {
        on_next_lock = nullptr;
        hook();
    }
    return lock(mutex);
}

namespace {

using talvo_test::open_fd_count;
using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int capacity = 8192;  // the wake-up entry and 8191 descriptors

void pause() { std::this_thread::sleep_for(std::chrono::microseconds(50)); }

jlong create() { return Java_com_velmar_server_port_JniSelectManager_createNative(nullptr, nullptr); }
void init(jlong h) { Java_com_velmar_server_port_JniSelectManager_initNative(nullptr, nullptr, h); }
int add(jlong h, int fd) { return Java_com_velmar_server_port_JniSelectManager_addNative(nullptr, nullptr, h, fd); }
int remove(jlong h, int fd) {
    return Java_com_velmar_server_port_JniSelectManager_removeNative(nullptr, nullptr, h, fd);
}
int select(jlong h, jlong ms) {
    return Java_com_velmar_server_port_JniSelectManager_selectNative(nullptr, nullptr, h, ms);
}
void close_manager(jlong h) { Java_com_velmar_server_port_JniSelectManager_closeNative(nullptr, nullptr, h); }

// The record is never given back by the library; tests hand it back to the
// allocator so that leak checking stays meaningful.
void release(jlong h) { tuk_free(reinterpret_cast<void *>(static_cast<intptr_t>(h))); }

// A connected pair: the manager watches `watched`; a byte written to `peer`
// makes it readable until the test reads the byte back.
struct socket_pair {
    int watched = -1;
    int peer = -1;
    bool readable = false;

    socket_pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            watched = fds[0];
            peer = fds[1];
        }
    }
    ~socket_pair() {
        if (watched >= 0) close(watched);
        if (peer >= 0) close(peer);
    }
    socket_pair(const socket_pair &) = delete;
    socket_pair &operator=(const socket_pair &) = delete;

    void make_readable() {
        char byte = 'x';
        ASSERT_EQ(1, write(peer, &byte, 1));
        readable = true;
    }
    void drain() {
        char byte;
        ASSERT_EQ(1, read(watched, &byte, 1));
        readable = false;
    }
};

// The set as the algorithm is written, without any saving: one wait with
// poll, then a pass that moves the tail for every entry it drops.  Used as
// the oracle for single-threaded runs, where no wake-up byte is ever due.
struct reference_set {
    std::vector<pollfd> items{pollfd{-1, 0, 0}};
    bool has_more = false;

    int add(int fd) {
        if (fd < 0 || items.size() >= static_cast<size_t>(capacity)) return -1;
        items.push_back(pollfd{fd, POLLIN | POLLPRI, 0});
        return fd;
    }
    int remove(int fd) {
        if (fd < 0) return -1;
        for (size_t i = items.size() - 1; i >= 1; --i) {
            if (items[i].fd == fd) {
                items[i].events = 0;
                break;
            }
        }
        return fd;
    }
    int select() {
        if (!has_more && poll(items.data() + 1, items.size() - 1, 0) <= 0) return -1;
        has_more = false;
        int fd = -1;
        for (size_t i = 1; i < items.size();) {
            if (items[i].events == 0) {
                items.erase(items.begin() + static_cast<long>(i));
            } else if (items[i].revents != 0) {
                if (fd == -1) {
                    fd = items[i].fd;
                    items.erase(items.begin() + static_cast<long>(i));
                } else {
                    has_more = true;
                    ++i;
                }
            } else {
                ++i;
            }
        }
        return fd;
    }
};

class SelectManager : public ::testing::Test {
protected:
    void SetUp() override {
        fds_before_ = open_fd_count();
        handle_ = create();
        ASSERT_NE(0, handle_);
        init(handle_);
    }
    void TearDown() override {
        close_manager(handle_);
        release(handle_);
        pairs_.clear();
        EXPECT_EQ(fds_before_, open_fd_count()) << "a descriptor leaked";
    }
    socket_pair &pair(size_t i) {
        while (pairs_.size() <= i) pairs_.push_back(std::make_unique<socket_pair>());
        return *pairs_[i];
    }

    jlong handle_ = 0;
    int fds_before_ = 0;
    std::vector<std::unique_ptr<socket_pair>> pairs_;
};

// Random single-threaded runs, compared call by call with the plain
// algorithm; `prefill` entries of one silent descriptor push the set close to
// its capacity, so that the full-set answer and the room that a scan frees
// are compared too.
void compare_with_reference(jlong handle, std::vector<socket_pair *> pairs, socket_pair &silent, int prefill,
                            int steps, unsigned seed) {
    reference_set reference;
    for (int i = 0; i < prefill; ++i) ASSERT_EQ(reference.add(silent.watched), add(handle, silent.watched));
    std::mt19937 random(seed);
    auto pick = [&] { return pairs[random() % pairs.size()]; };
    for (int step = 0; step < steps; ++step) {
        socket_pair *p = pick();
        switch (random() % 8) {
        case 0:
        case 1:
            ASSERT_EQ(reference.add(p->watched), add(handle, p->watched)) << "step " << step;
            break;
        case 2:
            ASSERT_EQ(reference.remove(p->watched), remove(handle, p->watched)) << "step " << step;
            break;
        case 3:
            ASSERT_EQ(reference.remove(silent.watched), remove(handle, silent.watched)) << "step " << step;
            break;
        case 4:
        case 5:
            ASSERT_EQ(reference.select(), select(handle, 0)) << "step " << step;
            break;
        case 6:
            if (!p->readable) p->make_readable();
            break;
        default:
            if (p->readable) p->drain();
            break;
        }
    }
}

TEST_F(SelectManager, AnswersAsThePlainAlgorithmInRandomRuns) {
    std::vector<socket_pair *> pairs;
    for (size_t i = 0; i < 12; ++i) pairs.push_back(&pair(i));
    compare_with_reference(handle_, pairs, pair(12), 0, 20000, 7);
}

TEST_F(SelectManager, AnswersAsThePlainAlgorithmAtTheEdgeOfAFullSet) {
    std::vector<socket_pair *> pairs;
    for (size_t i = 0; i < 6; ++i) pairs.push_back(&pair(i));
    compare_with_reference(handle_, pairs, pair(6), capacity - 1 - 12, 3000, 11);
}

TEST_F(SelectManager, AFullSetRefusesAddsUntilReportsFreeRoom) {
    // Fill the set with ready entries, hand out some of them without a new
    // wait, then fill the room they left: nothing may be lost or repeated.
    const int ready_count = 40;
    std::vector<int> ready;
    for (int i = 0; i < ready_count; ++i) {
        pair(static_cast<size_t>(i)).make_readable();
        ready.push_back(pair(static_cast<size_t>(i)).watched);
    }
    socket_pair &silent = pair(ready_count);
    for (int fd : ready) ASSERT_EQ(fd, add(handle_, fd));
    for (int i = 1 + ready_count; i < capacity; ++i) ASSERT_EQ(silent.watched, add(handle_, silent.watched));
    ASSERT_EQ(-1, add(handle_, silent.watched));
    for (int i = 0; i < 10; ++i) ASSERT_EQ(ready[static_cast<size_t>(i)], select(handle_, 0));
    for (int i = 0; i < 10; ++i) ASSERT_EQ(ready[static_cast<size_t>(i)], add(handle_, ready[static_cast<size_t>(i)]));
    ASSERT_EQ(-1, add(handle_, silent.watched));
    // The rest of the same wait comes first, then the re-added ones.
    for (int i = 10; i < ready_count; ++i) ASSERT_EQ(ready[static_cast<size_t>(i)], select(handle_, 0));
    for (int i = 0; i < 10; ++i) ASSERT_EQ(ready[static_cast<size_t>(i)], select(handle_, 0));
    EXPECT_EQ(-1, select(handle_, 0));
}

TEST_F(SelectManager, ACloseJustBeforeTheWaitTidiesTheSetStaysClosed) {
    // The second of two ready descriptors is handed out from the same wait and
    // leaves a gap, which the next select closes under the lock before it waits.
    socket_pair &a = pair(0);
    socket_pair &b = pair(1);
    ASSERT_EQ(a.watched, add(handle_, a.watched));
    ASSERT_EQ(b.watched, add(handle_, b.watched));
    a.make_readable();
    b.make_readable();
    ASSERT_EQ(a.watched, select(handle_, 0));
    ASSERT_EQ(b.watched, select(handle_, 0));
    static jlong closing;
    closing = handle_;
    on_next_lock = [] { close_manager(closing); };
    EXPECT_EQ(-1, select(handle_, 0));
    EXPECT_EQ(nullptr, on_next_lock) << "the select took no lock";
    EXPECT_EQ(-1, add(handle_, a.watched));
    EXPECT_EQ(-1, remove(handle_, a.watched));
}

TEST(SelectManagerLifecycle, ThePipeIsClosedWhoeverComesLast) {
    const int before = open_fd_count();
    // Never selected: the close itself gives the pipe back.
    jlong h = create();
    init(h);
    EXPECT_EQ(before + 2, open_fd_count());
    close_manager(h);
    EXPECT_EQ(before, open_fd_count());
    EXPECT_EQ(-1, select(h, 0));
    release(h);
    // Closed before init: init stays without a pipe, every call answers -1.
    h = create();
    EXPECT_EQ(7, add(h, 7));  // created: nothing is stored
    EXPECT_EQ(7, remove(h, 7));
    EXPECT_EQ(-1, select(h, 0));
    close_manager(h);
    init(h);
    EXPECT_EQ(before, open_fd_count());
    EXPECT_EQ(-1, add(h, 7));
    EXPECT_EQ(-1, select(h, 0));
    release(h);
    // A second init keeps the first pipe and the set.
    h = create();
    init(h);
    socket_pair p;
    p.make_readable();
    ASSERT_EQ(p.watched, add(h, p.watched));
    init(h);
    EXPECT_EQ(p.watched, select(h, 0));
    close_manager(h);
    release(h);
}

TEST(SelectManagerLifecycle, InitWithoutAPipeAnswersMinusOne) {
    // In a child: it lowers its own descriptor limit so that no pipe fits.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        jlong h = create();
        bool std_open = fcntl(0, F_GETFD) >= 0 && fcntl(1, F_GETFD) >= 0;
        rlimit limit{3, 3};
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(10);
        init(h);
        int fds[2];
        if (pipe(fds) == 0) _exit(11);  // the limit did not bite
        int code = 0;
        if (add(h, 1) != -1) code |= 1;
        if (remove(h, 1) != -1) code |= 2;
        if (select(h, 0) != -1) code |= 4;
        close_manager(h);
        if (std_open && (fcntl(0, F_GETFD) < 0 || fcntl(1, F_GETFD) < 0)) code |= 8;  // closed something not its own
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(SelectManagerLifecycle, CloseNeverTouchesAPipeNumberThatWasGivenAway) {
    // Adders and a selector race with close; right after it, new pipes take
    // the lowest free numbers, the manager's old ones among them.  No
    // wake-up byte may land in them, and no descriptor may be closed twice.
    const int before = open_fd_count();
    for (int round = 0; round < 200; ++round) {
        jlong h = create();
        init(h);
        socket_pair p;
        std::atomic<bool> closed{false};
        std::thread selector([&] {
            while (!closed.load()) select(h, 1);
            for (int i = 0; i < 3; ++i) EXPECT_EQ(-1, select(h, 0));
        });
        std::vector<std::thread> adders;
        for (int t = 0; t < 2; ++t) {
            adders.emplace_back([&] {
                while (!closed.load()) {
                    add(h, p.watched);
                    remove(h, p.watched);
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200 + round * 10));
        close_manager(h);
        int reused[4][2];
        for (auto &fds : reused) {
            ASSERT_EQ(0, pipe2(fds, O_CLOEXEC | O_NONBLOCK));
            ASSERT_EQ(1, write(fds[1], "o", 1));
        }
        closed = true;
        for (auto &t : adders) t.join();
        selector.join();
        for (auto &fds : reused) {
            char bytes[4];
            // Exactly our own byte: none stolen by a wait, none added by a wake-up.
            EXPECT_EQ(1, read(fds[0], bytes, sizeof bytes)) << "a pipe of someone else was read or written";
            EXPECT_GE(fcntl(fds[0], F_GETFD), 0) << "closed by the manager";
            EXPECT_GE(fcntl(fds[1], F_GETFD), 0) << "closed by the manager";
            close(fds[0]);
            close(fds[1]);
        }
        release(h);
    }
    EXPECT_EQ(before, open_fd_count());
}

// One selecting thread, four threads that add and remove their own
// descriptors while data arrives on some of them, then a close from a fifth.
TEST(SelectManagerStress, EveryReadyDescriptorThatStaysIsReportedExactlyOnce) {
    const int before = open_fd_count();
    constexpr int workers = 4;
    constexpr int pairs_per_worker = 8;
    constexpr int rounds = 2500;
    jlong h = create();
    init(h);

    std::vector<std::unique_ptr<socket_pair>> pairs;
    for (int i = 0; i < workers * pairs_per_worker; ++i) pairs.push_back(std::make_unique<socket_pair>());
    constexpr int fd_limit = 65536;
    auto reports = std::make_unique<std::atomic<int>[]>(fd_limit);
    std::atomic<long> finished_calls{0};
    std::atomic<bool> stop{false};
    std::atomic<int> unknown_reports{0};

    std::thread selector([&] {
        while (!stop.load()) {
            int fd = select(h, 2);
            if (fd >= 0 && fd < fd_limit) reports[fd].fetch_add(1);
            else if (fd >= fd_limit) unknown_reports.fetch_add(1);
            finished_calls.fetch_add(1);
        }
    });

    // Waits until every select call that may have run before now is counted.
    auto settle = [&] {
        long seen = finished_calls.load();
        auto deadline = clock_type::now() + milliseconds(10000);
        while (finished_calls.load() <= seen + 1 && clock_type::now() < deadline) pause();
    };
    auto await_report = [&](int fd, int count) {
        auto deadline = clock_type::now() + milliseconds(10000);
        while (reports[fd].load() < count && clock_type::now() < deadline) pause();
        return reports[fd].load() >= count;
    };

    std::vector<std::vector<int>> expected(workers, std::vector<int>(pairs_per_worker, 0));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            std::mt19937 random(static_cast<unsigned>(100 + w));
            for (int round = 0; round < rounds && failures.load() == 0; ++round) {
                int slot = static_cast<int>(random() % pairs_per_worker);
                socket_pair &p = *pairs[static_cast<size_t>(w * pairs_per_worker + slot)];
                int &count = expected[static_cast<size_t>(w)][static_cast<size_t>(slot)];
                int fd = p.watched;
                switch (random() % 5) {
                case 0:  // added and made readable: reported once
                case 1:
                    add(h, fd);
                    p.make_readable();
                    if (!await_report(fd, ++count)) failures.fetch_add(1);
                    break;
                case 2:  // added twice, removed once: the earlier entry is reported once
                    add(h, fd);
                    add(h, fd);
                    remove(h, fd);
                    p.make_readable();
                    if (!await_report(fd, ++count)) failures.fetch_add(1);
                    break;
                case 3:  // removed before it became ready: never reported
                    add(h, fd);
                    remove(h, fd);
                    p.make_readable();
                    break;
                default:  // removed while ready: reported at most once
                    add(h, fd);
                    p.make_readable();
                    if (random() % 2) std::this_thread::yield();
                    remove(h, fd);
                    settle();
                    if (reports[fd].load() > count + 1) failures.fetch_add(1);
                    count = reports[fd].load();
                    break;
                }
                p.drain();
            }
        });
    }
    for (auto &t : threads) t.join();
    // Let stray reports, which would be faults, show up before counting.
    settle();
    settle();

    std::thread closer([&] { close_manager(h); });
    closer.join();
    auto closed_at = clock_type::now();
    stop = true;
    selector.join();
    EXPECT_LT(clock_type::now() - closed_at, milliseconds(2000));

    EXPECT_EQ(0, failures.load()) << "a ready descriptor was not reported in time";
    EXPECT_EQ(0, unknown_reports.load());
    for (int w = 0; w < workers; ++w) {
        for (int slot = 0; slot < pairs_per_worker; ++slot) {
            int fd = pairs[static_cast<size_t>(w * pairs_per_worker + slot)]->watched;
            EXPECT_EQ(expected[static_cast<size_t>(w)][static_cast<size_t>(slot)], reports[fd].load())
                << "descriptor " << fd;
        }
    }
    EXPECT_EQ(-1, add(h, pairs[0]->watched));
    EXPECT_EQ(-1, remove(h, pairs[0]->watched));
    EXPECT_EQ(-1, select(h, 0));
    pairs.clear();
    release(h);
    EXPECT_EQ(before, open_fd_count());
}

}  // namespace
