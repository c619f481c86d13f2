// The listening-socket natives without a JVM: accepting threads racing a
// close, the time-out clamps and a failed allocation.
#include "sockets.h"
#include "com_velmar_vfs_JniServerSocketImpl.h"
#include "com_velmar_vfs_JniSocketImpl.h"

#include <sys/resource.h>

#include <vector>

using namespace talvo_test;

namespace {

// bindPort reads its address through the env; these tests hand it a C string
// as the "Java string", and nothing else of the env is used on that road.
const char *plain_chars(JNIEnv *, jstring string, jboolean *) { return reinterpret_cast<const char *>(string); }
void release_nothing(JNIEnv *, jstring, const char *) {}

struct string_env {
    JNINativeInterface_ table{};
    JNIEnv env{};
    string_env() {
        table.GetStringUTFChars = plain_chars;
        table.ReleaseStringUTFChars = release_nothing;
        env.functions = &table;
    }
};

jlong bind_loopback() {
    static string_env strings;
    auto address = reinterpret_cast<jstring>(const_cast<char *>("127.0.0.1"));
    return Java_com_velmar_vfs_JniServerSocketImpl_bindPort(&strings.env, nullptr, address, 0, 0);
}

server_socket_t *record(jlong handle) { return reinterpret_cast<server_socket_t *>(static_cast<intptr_t>(handle)); }
connection_t *connection(jlong handle) { return reinterpret_cast<connection_t *>(static_cast<intptr_t>(handle)); }

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
            conns[i] = Java_com_velmar_vfs_JniSocketImpl_nativeAllocate(nullptr, nullptr);
            threads.emplace_back([&, i] {
                results[i] = Java_com_velmar_vfs_JniServerSocketImpl_nativeAccept(nullptr, nullptr, ss, conns[i]);
            });
        }
        // A call on a handle already freed is the caller's fault, not a race to test.
        wait_until_accepting(record(ss), static_cast<int>(n));
        if (round % 3 == 1) std::this_thread::yield();
        if (round % 3 == 2) std::this_thread::sleep_for(1ms);
        EXPECT_EQ(Java_com_velmar_vfs_JniServerSocketImpl_closeNative(nullptr, nullptr, ss), 0);
        for (std::thread &thread : threads) thread.join();
        int accepted = 0;
        for (size_t i = 0; i < n; i++) {
            char byte;
            if (results[i]) EXPECT_EQ(std_ops.read(connection(conns[i]), &byte, 1), 0);
            else EXPECT_EQ(connection(conns[i])->fd, -1);
            accepted += results[i];
            Java_com_velmar_vfs_JniSocketImpl_nativeClose(nullptr, nullptr, conns[i]);
            Java_com_velmar_vfs_JniSocketImpl_nativeFree(nullptr, nullptr, conns[i]);
        }
        EXPECT_LE(accepted, 21);
        if (HasFailure()) return;
    }
    EXPECT_EQ(open_fd_count(), before);
}

TEST(ServerSocket, TimeOutsAreClampedAndHandleZeroIsRefused) {
    jlong ss = bind_loopback();
    ASSERT_NE(ss, 0);
    server_socket_t *s = record(ss);
    EXPECT_EQ(s->conn_read_timeout, 65000);
    EXPECT_EQ(s->conn_write_timeout, 65000);
    EXPECT_EQ(Java_com_velmar_vfs_JniServerSocketImpl_getLocalPort(nullptr, nullptr, ss), 0);

    const std::pair<int, int> clamps[] = {{-1, 600000}, {0, 500}, {499, 500}, {500, 500}, {1500, 1500}};
    for (auto [given, stored] : clamps) {
        Java_com_velmar_vfs_JniServerSocketImpl_nativeSetConnectionReadTimeout(nullptr, nullptr, ss, given);
        Java_com_velmar_vfs_JniServerSocketImpl_nativeSetConnectionWriteTimeout(nullptr, nullptr, ss, given);
        EXPECT_EQ(s->conn_read_timeout, stored) << given;
        EXPECT_EQ(s->conn_write_timeout, stored) << given;
    }
    // Handle 0 anywhere, and a zero record to accept into, refuse at once.
    jlong conn = Java_com_velmar_vfs_JniSocketImpl_nativeAllocate(nullptr, nullptr);
    EXPECT_FALSE(Java_com_velmar_vfs_JniServerSocketImpl_nativeAccept(nullptr, nullptr, 0, conn));
    EXPECT_FALSE(Java_com_velmar_vfs_JniServerSocketImpl_nativeAccept(nullptr, nullptr, ss, 0));
    EXPECT_EQ(Java_com_velmar_vfs_JniServerSocketImpl_getLocalPort(nullptr, nullptr, 0), 0);
    EXPECT_EQ(Java_com_velmar_vfs_JniServerSocketImpl_closeNative(nullptr, nullptr, 0), 0);
    Java_com_velmar_vfs_JniServerSocketImpl_nativeSetConnectionReadTimeout(nullptr, nullptr, 0, 1);

    Java_com_velmar_vfs_JniSocketImpl_nativeClose(nullptr, nullptr, conn);
    Java_com_velmar_vfs_JniSocketImpl_nativeFree(nullptr, nullptr, conn);
    EXPECT_EQ(Java_com_velmar_vfs_JniServerSocketImpl_closeNative(nullptr, nullptr, ss), 0);
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
            if (Java_com_velmar_vfs_JniSocketImpl_nativeAllocate(nullptr, nullptr) == 0) _exit(0);
        _exit(4);
    };
    EXPECT_EXIT(allocate_until_refused(), testing::ExitedWithCode(0), "");
}

}  // namespace
