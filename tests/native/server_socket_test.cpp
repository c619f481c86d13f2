// The listening-socket natives without a JVM: accepting threads racing a
// close, and the time-out clamps.
#include "sockets.h"
#include "com_velmar_vfs_JniServerSocketImpl.h"
#include "com_velmar_vfs_JniSocketImpl.h"

#include <vector>

#define SERVER(name) Java_com_velmar_vfs_JniServerSocketImpl_##name
#define SOCKET(name) Java_com_velmar_vfs_JniSocketImpl_##name

using namespace talvo_test;

namespace {

// bindPort reads only its address through the env: a C string stands in for
// the Java string, and the characters taken must be given back.
jlong bind_loopback() {
    static int held = 0;
    static JNINativeInterface_ table = [] {
        JNINativeInterface_ t{};
        t.GetStringUTFChars = [](JNIEnv *, jstring s, jboolean *) { return ++held, reinterpret_cast<const char *>(s); };
        t.ReleaseStringUTFChars = [](JNIEnv *, jstring, const char *) { --held; };
        return t;
    }();
    static JNIEnv strings{&table};
    jlong ss = SERVER(bindPort)(&strings, nullptr, reinterpret_cast<jstring>(const_cast<char *>("127.0.0.1")), 0, 0);
    EXPECT_EQ(held, 0);
    return ss;
}

template <typename T> T *record(jlong handle) { return reinterpret_cast<T *>(static_cast<intptr_t>(handle)); }

// Threads in accept against closeNative, which frees the record as soon as the close returns:
// the sanitizers see any touch of it by a leaving thread.  Every tenth round has more
// waiters than the close makes wake-up connections.
TEST(ServerSocket, AcceptorsSurviveAConcurrentCloseNative) {
    Watchdog watchdog(240s);
    const int before = open_fd_count();
    for (int round = 0; round < 150; round++) {
        SCOPED_TRACE(round);
        jlong ss = bind_loopback();
        ASSERT_NE(ss, 0);
        const int n = round % 10 == 9 ? 22 + round % 4 : 1 + round % 6;
        std::vector<jlong> conns(n);
        std::vector<std::atomic<int>> results(n);
        std::vector<std::thread> threads;
        for (int i = 0; i < n; i++) {
            conns[i] = SOCKET(nativeAllocate)(nullptr, nullptr);
            threads.emplace_back([&, i] { results[i] = SERVER(nativeAccept)(nullptr, nullptr, ss, conns[i]); });
        }
        // All inside accept before the close (a call on a freed handle is the caller's fault).
        std::atomic_ref<int> accepting(record<server_socket_t>(ss)->accept_threads);
        for (auto deadline = steady::now() + 10s; accepting.load() < n && steady::now() < deadline;)
            std::this_thread::sleep_for(1ms);
        ASSERT_EQ(accepting.load(), n);
        if (round % 3 == 1) std::this_thread::yield();
        if (round % 3 == 2) std::this_thread::sleep_for(1ms);
        EXPECT_EQ(SERVER(closeNative)(nullptr, nullptr, ss), 0);
        for (std::thread &thread : threads) thread.join();
        int accepted = 0;
        for (int i = 0; i < n; i++) {
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
        EXPECT_EQ(std::pair(s->conn_read_timeout, s->conn_write_timeout), std::pair(stored, stored)) << given;
    }
    EXPECT_EQ(SERVER(closeNative)(nullptr, nullptr, ss), 0);
}

}  // namespace
