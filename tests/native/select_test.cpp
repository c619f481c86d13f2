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

using talvo_test::open_fd_count;
using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int capacity = 8191;  // watched entries

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
// The library never gives the record back; the tests do, to keep leak checks meaningful.
void release(jlong h) { tuk_free(reinterpret_cast<void *>(static_cast<intptr_t>(h))); }

// The manager watches `watched`; a byte written to `peer` makes it readable.
struct socket_pair {
    int watched = -1, peer = -1;
    bool readable = false;
    socket_pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) watched = fds[0], peer = fds[1];
    }
    ~socket_pair() {
        if (watched >= 0) close(watched);
        if (peer >= 0) close(peer);
    }
    socket_pair(const socket_pair &) = delete;
    socket_pair &operator=(const socket_pair &) = delete;
    void make_readable() {
        ASSERT_EQ(1, write(peer, "x", 1));
        readable = true;
    }
    void drain() {
        char byte;
        ASSERT_EQ(1, read(watched, &byte, 1));
        readable = false;
    }
};

// The set as the algorithm is written, without any saving: one poll over every
// entry, then the earliest ready entry out.  A remove takes the newest entry
// of its descriptor out at once.
struct reference_set {
    struct item {
        int fd;
        bool ready;
    };
    std::vector<item> items;
    bool has_more = false;

    int add(int fd) {
        if (items.size() >= static_cast<size_t>(capacity)) return -1;
        items.push_back(item{fd, false});
        return fd;
    }
    int remove(int fd) {
        auto newest = std::find_if(items.rbegin(), items.rend(), [&](const item &i) { return i.fd == fd; });
        if (newest != items.rend()) items.erase(std::next(newest).base());
        return fd;
    }
    int select() {
        if (!has_more) {
            std::vector<pollfd> polled;
            for (item &i : items) polled.push_back(pollfd{i.fd, POLLIN | POLLPRI, 0});
            if (poll(polled.data(), polled.size(), 0) <= 0) return -1;
            for (size_t i = 0; i < items.size(); ++i) items[i].ready = polled[i].revents != 0;
        }
        auto first = std::find_if(items.begin(), items.end(), [](const item &i) { return i.ready; });
        if (first == items.end()) return has_more = false, -1;
        int fd = first->fd;
        items.erase(first);
        has_more = std::any_of(items.begin(), items.end(), [](const item &i) { return i.ready; });
        return fd;
    }
};

// Random runs compared call by call with the plain algorithm, once with room
// and once with one silent descriptor filling the set to near its capacity.
// Descriptors are added twice, removed while ready, closed without a remove
// and their number reused and added again; and a select that finds nothing
// ready blocks while this thread adds, removes and finally makes one ready.
TEST(SelectManager, AnswersAsThePlainAlgorithmInRandomRuns) {
    const int before = open_fd_count();
    struct run {
        size_t pairs;
        int prefill, steps;
        unsigned seed;
    };
    for (run r : {run{12, 0, 20000, 7}, run{6, capacity - 12, 3000, 11}}) {
        SCOPED_TRACE(r.prefill);
        int epoll_number = dup(0), own = dup(0);  // init takes these: its epoll descriptor, then its pipe's read end
        close(epoll_number), close(own);
        jlong h = create();
        init(h);
        std::vector<std::unique_ptr<socket_pair>> pairs;
        for (size_t i = 0; i < r.pairs; ++i) pairs.push_back(std::make_unique<socket_pair>());
        socket_pair silent;
        reference_set reference;
        for (int i = 0; i < r.prefill; ++i) ASSERT_EQ(reference.add(silent.watched), add(h, silent.watched));
        std::mt19937 random(r.seed);
        for (int step = 0; step < r.steps; ++step) {
            SCOPED_TRACE(step);
            size_t index = random() % pairs.size();
            socket_pair &p = *pairs[index];
            switch (random() % 10) {
            case 0:
            case 1: ASSERT_EQ(reference.add(p.watched), add(h, p.watched)); break;
            case 2: ASSERT_EQ(reference.remove(p.watched), remove(h, p.watched)); break;
            case 3: ASSERT_EQ(reference.remove(silent.watched), remove(h, silent.watched)); break;
            case 4:
            case 5: ASSERT_EQ(reference.select(), select(h, 0)); break;
            case 6:
                if (!p.readable) p.make_readable();
                break;
            case 7:
                if (p.readable) p.drain();
                break;
            case 8: {  // closed without a remove; the number comes back at once and is added
                int number = p.watched;
                pairs[index].reset();
                pairs[index] = std::make_unique<socket_pair>();
                ASSERT_EQ(number, pairs[index]->watched);
                ASSERT_EQ(reference.add(number), add(h, number));
                break;
            }
            default: {  // from the other side of a blocking select: the last step makes p ready
                auto &items = reference.items;
                if (reference.has_more || items.size() + 3 > capacity) break;
                for (auto &q : pairs)
                    if (q->readable) q->drain();
                auto selected = std::async(std::launch::async, [h] { return select(h, 10000); });
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                for (int k = random() % 3; k > 0; --k) {
                    socket_pair &q = *pairs[random() % pairs.size()];
                    if (q.readable) continue;
                    if (random() % 2) ASSERT_EQ(reference.add(q.watched), add(h, q.watched));
                    else ASSERT_EQ(reference.remove(q.watched), remove(h, q.watched));
                }
                auto is_p = [&](const reference_set::item &i) { return i.fd == p.watched; };
                if (random() % 2 || std::none_of(items.begin(), items.end(), is_p)) {
                    ASSERT_EQ(reference.add(p.watched), add(h, p.watched));
                }
                if (!p.readable) p.make_readable();
                ASSERT_EQ(std::future_status::ready, selected.wait_for(std::chrono::seconds(10)));
                ASSERT_EQ(reference.select(), selected.get());
            }
            }
        }
        for (auto &q : pairs)
            if (q->readable) q->drain();
        while (select(h, 0) >= 0) {
        }
        // Its own wake-up number added (a stale number, say) must not take the wake-up away.
        remove(h, silent.watched), remove(h, silent.watched);  // room for two
        ASSERT_EQ(own, add(h, own));
        EXPECT_EQ(-1, select(h, 0));
        auto woken = std::async(std::launch::async, [h] { return select(h, 10000); });
        std::this_thread::sleep_for(milliseconds(5));
        add(h, INT_MAX);  // epoll refuses it: a wake-up byte
        EXPECT_NE(-1, woken.get());
        while (select(h, 0) >= 0) {
        }
        auto waiting = std::async(std::launch::async, [h] { return select(h, 10000); });
        std::this_thread::sleep_for(milliseconds(5));
        close_manager(h);
        EXPECT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(5))) << "close did not wake it";
        EXPECT_EQ(-1, waiting.get());
        EXPECT_EQ(-1, add(h, pairs[0]->watched));
        EXPECT_EQ(-1, remove(h, pairs[0]->watched));
        EXPECT_EQ(-1, select(h, 0));
        release(h);
    }
    EXPECT_EQ(before, open_fd_count());
}

TEST(SelectManagerLifecycle, InitWithoutAPipeAnswersAsClosed) {
    // In a child whose limit leaves room for the epoll descriptor but not the pipe.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        jlong h = create();
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        rlimit limit{4, 4};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(10);
        init(h);
        int code = (add(h, 1) != -1) | (remove(h, 1) != -1) << 1 | (select(h, 0) != -1) << 2;
        close_manager(h);
        _exit(code | (fcntl(3, F_GETFD) >= 0) << 3 | (fcntl(1, F_GETFD) < 0) << 4);  // none kept, none of ours closed
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
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
            EXPECT_EQ(-1, select(h, 0));
        });
        std::vector<std::thread> adders;
        for (int t = 0; t < 2; ++t)
            adders.emplace_back([&] {
                while (!closed.load()) add(h, p.watched), remove(h, p.watched);
            });
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
            EXPECT_EQ(0, close(fds[0]) | close(fds[1])) << "closed by the manager";
        }
        release(h);
    }
    EXPECT_EQ(before, open_fd_count());
}

// One selecting thread, four threads that add and remove their own
// descriptors while data arrives on some of them.
TEST(SelectManagerStress, EveryReadyDescriptorThatStaysIsReportedExactlyOnce) {
    const int before = open_fd_count();
    constexpr int workers = 4, per_worker = 8, rounds = 2500, fd_limit = 65536;
    jlong h = create();
    init(h);
    std::vector<std::unique_ptr<socket_pair>> pairs;
    for (int i = 0; i < workers * per_worker; ++i) pairs.push_back(std::make_unique<socket_pair>());
    auto reports = std::make_unique<std::atomic<int>[]>(fd_limit);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread selector([&] {
        while (!stop.load()) {
            int fd = select(h, 2);
            if (fd >= fd_limit) failures.fetch_add(1);
            else if (fd >= 0) reports[fd].fetch_add(1);
        }
    });
    std::vector<int> expected(pairs.size(), 0);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            std::mt19937 random(static_cast<unsigned>(100 + w));
            for (int round = 0; round < rounds && failures.load() == 0; ++round) {
                size_t slot = static_cast<size_t>(w * per_worker) + random() % per_worker;
                int fd = pairs[slot]->watched;
                add(h, fd);
                switch (random() % 3) {
                case 0: remove(h, fd); break;                   // never reported
                case 1: add(h, fd), remove(h, fd); [[fallthrough]];  // the earlier entry stays
                default: ++expected[slot];
                }
                pairs[slot]->make_readable();
                auto deadline = clock_type::now() + milliseconds(10000);
                while (reports[fd].load() < expected[slot] && clock_type::now() < deadline) std::this_thread::yield();
                if (reports[fd].load() != expected[slot]) failures.fetch_add(1);
                pairs[slot]->drain();
            }
        });
    }
    for (auto &t : threads) t.join();
    std::this_thread::sleep_for(milliseconds(20));  // a stray report, which would be a fault, shows up
    stop = true;
    selector.join();
    close_manager(h);
    EXPECT_EQ(0, failures.load()) << "a ready descriptor was not reported in time, or a stray one was";
    for (size_t i = 0; i < pairs.size(); ++i)
        EXPECT_EQ(expected[i], reports[pairs[i]->watched].load()) << "descriptor " << pairs[i]->watched;
    pairs.clear();
    release(h);
    EXPECT_EQ(before, open_fd_count());
}

}  // namespace
