// The select manager without a JVM: its entry points never touch env.
#include "sockets.h"
#include "com_velmar_server_port_JniSelectManager.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <climits>
#include <future>
#include <random>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int capacity = 8191;  // watched entries

#define NATIVE(name) Java_com_velmar_server_port_JniSelectManager_##name##Native

// The record as Java holds it.  The library never gives it back; the test does, to keep leak checks meaningful.
struct manager {
    jlong h = NATIVE(create)(nullptr, nullptr);
    manager() { NATIVE(init)(nullptr, nullptr, h); }
    ~manager() { close(), tuk_free(reinterpret_cast<void *>(static_cast<intptr_t>(h))); }
    int add(int fd) const { return NATIVE(add)(nullptr, nullptr, h, fd); }
    int remove(int fd) const { return NATIVE(remove)(nullptr, nullptr, h, fd); }
    int select(jlong ms) const { return NATIVE(select)(nullptr, nullptr, h, ms); }
    void close() const { NATIVE(close)(nullptr, nullptr, h); }
};

// The manager watches `watched`; a byte written to `peer` makes it readable.
struct socket_pair {
    int watched = -1, peer = -1;
    socket_pair() { open(); }
    ~socket_pair() { close(watched), close(peer); }
    void open() {
        int fds[2] = {-1, -1};
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds));
        watched = fds[0], peer = fds[1];
    }
    void reopen() { close(watched), close(peer), open(); }  // closed without a remove: its numbers come back
    void fill() { EXPECT_EQ(1, write(peer, "x", 1)); }
    void drain() { char bytes[64]; while (read(watched, bytes, sizeof bytes) > 0) {} }
};

// The set as the algorithm is written, without any saving: one poll over every entry, then the earliest
// ready entry out.  A remove takes the newest entry of its descriptor out at once.
struct reference_set {
    struct item { int fd; bool ready; };
    std::vector<item> items;
    bool has_more = false;

    int add(int fd) {
        if (items.size() >= capacity) return -1;
        return items.push_back(item{fd, false}), fd;
    }
    int remove(int fd) {
        auto newest = std::ranges::find(items.rbegin(), items.rend(), fd, &item::fd);
        if (newest != items.rend()) items.erase(std::next(newest).base());
        return fd;
    }
    bool watches(int fd) const { return std::ranges::find(items, fd, &item::fd) != items.end(); }
    int select() {
        if (!has_more) {
            std::vector<pollfd> polled;
            for (item &i : items) polled.push_back(pollfd{i.fd, POLLIN | POLLPRI, 0});
            if (poll(polled.data(), polled.size(), 0) <= 0) return -1;
            for (size_t i = 0; i < items.size(); ++i) items[i].ready = polled[i].revents != 0;
        }
        auto first = std::ranges::find(items, true, &item::ready);
        if (first == items.end()) return has_more = false, -1;
        int fd = first->fd;
        items.erase(first);
        has_more = std::ranges::any_of(items, &item::ready);
        return fd;
    }
};

// Random runs compared call by call with the plain algorithm, with room and with the set near full: descriptors
// added twice, removed while ready, closed unremoved and their number added again, selects that block while this
// thread adds and removes.  Then the wake-up pipe's own number joins the set, and a close wakes a select.
TEST(SelectManager, AnswersAsThePlainAlgorithmInRandomRuns) {
    const int before = talvo_test::open_fd_count();
    struct run { size_t pairs; int prefill, steps; unsigned seed; };
    for (run r : {run{12, 0, 20000, 7}, run{6, capacity - 12, 3000, 11}}) {
        SCOPED_TRACE(r.prefill);
        int epoll_number = dup(0), own = dup(0);  // init takes these: its epoll descriptor, then its pipe's read end
        close(epoll_number), close(own);
        manager m;
        std::vector<socket_pair> pairs(r.pairs);
        socket_pair silent;
        reference_set reference;
        auto add_both = [&](int fd) { EXPECT_EQ(reference.add(fd), m.add(fd)); };
        auto remove_both = [&](int fd) { EXPECT_EQ(reference.remove(fd), m.remove(fd)); };
        for (int i = 0; i < r.prefill; ++i) add_both(silent.watched);
        std::mt19937 random(r.seed);
        for (int step = 0; step < r.steps && !HasFailure(); ++step) {
            SCOPED_TRACE(step);
            socket_pair &p = pairs[random() % pairs.size()];
            const int fd = p.watched;
            switch (random() % 10) {
            case 0: case 1: add_both(fd); break;
            case 2: remove_both(fd); break;
            case 3: remove_both(silent.watched); break;
            case 4: case 5: EXPECT_EQ(reference.select(), m.select(0)); break;
            case 6: p.fill(); break;
            case 7: p.drain(); break;
            case 8: p.reopen(), add_both(p.watched); EXPECT_EQ(fd, p.watched); break;  // the number, another file
            default:  // from the other side of a blocking select: the last step makes p ready
                if (reference.has_more || reference.items.size() + 3 > capacity) break;
                for (auto &q : pairs) q.drain();
                auto selected = std::async(std::launch::async, [&m] { return m.select(10000); });
                std::this_thread::sleep_for(200us);
                for (int k = random() % 3; k > 0; --k) {
                    int other = pairs[random() % pairs.size()].watched;
                    random() % 2 ? add_both(other) : remove_both(other);
                }
                if (random() % 2 || !reference.watches(fd)) add_both(fd);
                p.fill();
                ASSERT_EQ(std::future_status::ready, selected.wait_for(10s));
                EXPECT_EQ(reference.select(), selected.get());
            }
        }
        for (auto &q : pairs) q.drain();
        while (m.select(0) >= 0) {}
        // Its own wake-up number added (a stale number, say) must not take the wake-up away.
        m.remove(silent.watched), m.remove(silent.watched);  // room for two
        ASSERT_EQ(own, m.add(own));
        EXPECT_EQ(-1, m.select(0));
        auto woken = std::async(std::launch::async, [&m] { return m.select(10000); });
        std::this_thread::sleep_for(5ms);
        m.add(INT_MAX);  // epoll refuses it: a wake-up byte
        EXPECT_NE(-1, woken.get());
        while (m.select(0) >= 0) {}
        auto waiting = std::async(std::launch::async, [&m] { return m.select(10000); });
        std::this_thread::sleep_for(5ms);
        m.close();
        ASSERT_EQ(std::future_status::ready, waiting.wait_for(5s)) << "close did not wake it";
        EXPECT_EQ(-1, waiting.get());
        m.close();  // once more: nothing left to do
        for (int result : {m.add(pairs[0].watched), m.remove(pairs[0].watched), m.select(0)}) EXPECT_EQ(-1, result);
    }
    EXPECT_EQ(before, talvo_test::open_fd_count());
}

// In a child whose limit leaves room for the epoll descriptor but not the pipe.
TEST(SelectManagerLifecycle, InitWithoutAPipeAnswersAsClosed) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        if (rlimit limit{4, 4}; setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(10);
        manager m;
        int code = (m.add(1) != -1) | (m.remove(1) != -1) << 1 | (m.select(0) != -1) << 2;
        m.close();
        _exit(code | (fcntl(3, F_GETFD) >= 0) << 3 | (fcntl(1, F_GETFD) < 0) << 4);  // none kept, none of ours closed
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Adders and a selector race with close; right after it, new pipes take the lowest free numbers, the
// manager's old ones among them.  No wake-up byte may land in them, and no descriptor may be closed twice.
TEST(SelectManagerLifecycle, CloseNeverTouchesAPipeNumberThatWasGivenAway) {
    const int before = talvo_test::open_fd_count();
    for (int round = 0; round < 200; ++round) {
        manager m;
        socket_pair p;
        std::atomic<bool> closed{false};
        std::vector<std::thread> threads;
        threads.emplace_back([&] { while (!closed.load()) m.select(1); });
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&] { while (!closed.load()) m.add(p.watched), m.remove(p.watched); });
        std::this_thread::sleep_for(std::chrono::microseconds(200 + round * 10));
        m.close();
        int reused[4][2];
        for (auto &fds : reused) ASSERT_TRUE(pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0 && write(fds[1], "o", 1) == 1);
        closed = true;
        for (auto &t : threads) t.join();
        for (auto &fds : reused) {  // exactly our own byte (none stolen by a wait, none added by a wake-up)
            char bytes[4];
            EXPECT_EQ(1, read(fds[0], bytes, sizeof bytes));
            EXPECT_EQ(0, close(fds[0]) | close(fds[1]));
        }
    }
    EXPECT_EQ(before, talvo_test::open_fd_count());
}

// One selecting thread, four threads that add and remove their own descriptors while data arrives on some.
TEST(SelectManagerStress, EveryReadyDescriptorThatStaysIsReportedExactlyOnce) {
    constexpr int workers = 4, per_worker = 8, rounds = 2500, fd_limit = 65536;
    manager m;
    std::vector<socket_pair> pairs(workers * per_worker);
    std::vector<std::atomic<int>> reports(fd_limit);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread selector([&] {
        while (!stop.load())
            if (int fd = m.select(2); fd >= 0) (fd < fd_limit ? reports[fd] : failures).fetch_add(1);
    });
    std::vector<int> expected(pairs.size(), 0);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w)
        threads.emplace_back([&, w] {
            std::mt19937 random(static_cast<unsigned>(100 + w));
            for (int round = 0; round < rounds && failures.load() == 0; ++round) {
                size_t slot = static_cast<size_t>(w * per_worker) + random() % per_worker;
                int fd = pairs[slot].watched;
                m.add(fd);
                switch (random() % 3) {
                case 0: m.remove(fd); break;                     // never reported
                case 1: m.add(fd), m.remove(fd); [[fallthrough]];  // the earlier entry stays
                default: ++expected[slot];
                }
                pairs[slot].fill();
                for (auto deadline = talvo_test::steady::now() + 10s;
                     reports[fd].load() < expected[slot] && talvo_test::steady::now() < deadline;)
                    std::this_thread::yield();
                if (reports[fd].load() != expected[slot]) failures.fetch_add(1);
                pairs[slot].drain();
            }
        });
    for (auto &t : threads) t.join();
    std::this_thread::sleep_for(20ms);  // a stray report, which would be a fault, shows up
    stop = true;
    selector.join();
    EXPECT_EQ(0, failures.load()) << "a ready descriptor was not reported in time, or a stray one was";
    for (size_t i = 0; i < pairs.size(); ++i) EXPECT_EQ(expected[i], reports[pairs[i].watched].load()) << i;
}

}  // namespace
