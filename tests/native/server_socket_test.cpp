// The listening-socket natives without a JVM: accepting threads racing a
// close, the time-out clamps and a failed allocation.
#include "sockets.h"
#include "com_velmar_vfs_JniServerSocketImpl.h"
#include "com_velmar_vfs_JniSocketImpl.h"

#include <sys/resource.h>

#include <vector>

#define SERVER(name) Java_com_velmar_vfs_JniServerSocketImpl_##name
#define SOCKET(name) Java_com_velmar_vfs_JniSocketImpl_##name

using namespace talvo_test;

namespace {

// bindPort reads its address through the env; these tests hand it a C string
// as the "Java string", and nothing else of the env is used on that road.
jlong bind_loopback() {
    static JNINativeInterface_ table = [] {
        JNINativeInterface_ t{};
        t.GetStringUTFChars = [](JNIEnv *, jstring s, jboolean *) { return reinterpret_cast<const char *>(s); };
        t.ReleaseStringUTFChars = [](JNIEnv *, jstring, const char *) {};
        return t;
    }();
    static JNIEnv strings{&table};
    return SERVER(bindPort)(&strings, nullptr, reinterpret_cast<jstring>(const_cast<char *>("127.0.0.1")), 0, 0);
}

template <typename T> T *record(jlong handle) { return reinterpret_cast<T *>(static_cast<intptr_t>(handle)); }

// Threads in accept against closeNative, which frees the record as soon as
// the close returns: the sanitizers see any touch of it by a leaving thread.
// Every tenth round has more waiters than the close makes wake-up connections.
TEST(ServerSocket, AcceptorsSurviveAConcurrentCloseNative) {
    Watchdog watchdog(240s);
    const int before = open_fd_count();
    for (int round = 0; round < 150; round++) {
        SCOPED_TRACE(round);
        jlong ss = bind_loopback();
        ASSERT_NE(ss, 0);
        const size_t n = round % 10 == 9 ? 22 + round % 4 : 1 + round % 6;
        std::vector<jlong> conns(n);
        std::vector<std::atomic<int>> results(n);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < n; i++) {
            conns[i] = SOCKET(nativeAllocate)(nullptr, nullptr);
            threads.emplace_back([&, i] { results[i] = SERVER(nativeAccept)(nullptr, nullptr, ss, conns[i]); });
        }
        // A call on a handle already freed is the caller's fault, not a race to test.
        wait_until_accepting(record<server_socket_t>(ss), static_cast<int>(n));
        if (round % 3 == 1) std::this_thread::yield();
        if (round % 3 == 2) std::this_thread::sleep_for(1ms);
        EXPECT_EQ(SERVER(closeNative)(nullptr, nullptr, ss), 0);
        for (std::thread &thread : threads) thread.join();
        int accepted = 0;
        for (size_t i = 0; i < n; i++) {
            char byte;
            connection_t *conn = record<connection_t>(conns[i]);
            if (results[i]) EXPECT_EQ(std_ops.read(conn, &byte, 1), 0);
            else EXPECT_EQ(conn->fd, -1);
            accepted += results[i];
            SOCKET(nativeClose)(nullptr, nullptr, conns[i]);
            SOCKET(nativeFree)(nullptr, nullptr, conns[i]);
        }
        EXPECT_LE(accepted, 21);
        if (HasFailure()) return;
    }
    EXPECT_EQ(open_fd_count(), before);
}

TEST(ServerSocket, TimeOutsStartAt65000AndAreClamped) {
    jlong ss = bind_loopback();
    server_socket_t *s = record<server_socket_t>(ss);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->conn_read_timeout + s->conn_write_timeout, 2 * 65000);
    for (auto [given, stored] : {std::pair{-1, 600000}, {0, 500}, {499, 500}, {500, 500}, {1500, 1500}}) {
        SERVER(nativeSetConnectionReadTimeout)(nullptr, nullptr, ss, given);
        SERVER(nativeSetConnectionWriteTimeout)(nullptr, nullptr, ss, given);
        EXPECT_EQ(s->conn_read_timeout, stored) << given;
        EXPECT_EQ(s->conn_write_timeout, stored) << given;
    }
    EXPECT_EQ(SERVER(closeNative)(nullptr, nullptr, ss), 0);
}

TEST(ServerSocket, AllocationFailureGivesHandleZero) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve address space beyond any small limit";
#endif
    // In a child: the address-space limit is process-wide.
    auto allocate_until_refused = [] {
        long pages = 0;
        FILE *statm = fopen("/proc/self/statm", "r");
        if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) _exit(2);
        rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (8 << 20);
        rlimit limit{room, room};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
        for (int i = 0; i < 1000000; i++)
            if (SOCKET(nativeAllocate)(nullptr, nullptr) == 0) _exit(0);
        _exit(4);
    };
    EXPECT_EXIT(allocate_until_refused(), testing::ExitedWithCode(0), "");
}

}  // namespace
