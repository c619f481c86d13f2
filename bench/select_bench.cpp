// Where one hand-out of the select manager spends its time: the cycle of the
// Java benchmark (select a ready descriptor, add it back) without the JVM,
// next to a bare level-triggered epoll_wait over the same set (the kernel's
// share of a selector that keeps every descriptor registered).
#include "talvo.h"

#include <benchmark/benchmark.h>

#include <sys/epoll.h>
#include <unistd.h>
#include <vector>

extern "C" {
jlong Java_com_velmar_server_port_JniSelectManager_createNative(JNIEnv *, jobject);
void Java_com_velmar_server_port_JniSelectManager_initNative(JNIEnv *, jobject, jlong);
jint Java_com_velmar_server_port_JniSelectManager_addNative(JNIEnv *, jobject, jlong, jint);
jint Java_com_velmar_server_port_JniSelectManager_selectNative(JNIEnv *, jobject, jlong, jlong);
void Java_com_velmar_server_port_JniSelectManager_closeNative(JNIEnv *, jobject, jlong);
}

namespace {

// n pipes, the middle one readable, or all of them.
struct pipes {
    std::vector<int> read_ends;
    std::vector<int> write_ends;
    pipes(int n, bool all_ready) {
        for (int i = 0; i < n; ++i) {
            int fds[2];
            if (pipe(fds) != 0) break;
            read_ends.push_back(fds[0]);
            write_ends.push_back(fds[1]);
            if ((all_ready || i == n / 2) && write(fds[1], "x", 1) != 1) break;
        }
    }
    ~pipes() {
        for (int fd : read_ends) close(fd);
        for (int fd : write_ends) close(fd);
    }
};

void bare_epoll(benchmark::State &state, bool all_ready) {
    pipes set(static_cast<int>(state.range(0)), all_ready);
    if (set.read_ends.size() != static_cast<size_t>(state.range(0))) return state.SkipWithError("no pipes");
    int epfd = epoll_create1(EPOLL_CLOEXEC);
    for (int fd : set.read_ends) {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLPRI;
        event.data.fd = fd;
        epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &event);
    }
    std::vector<epoll_event> events(set.read_ends.size());
    for (auto _ : state) benchmark::DoNotOptimize(epoll_wait(epfd, events.data(), static_cast<int>(events.size()), 0));
    close(epfd);
    // Per reported descriptor, as the hand-outs below are counted.
    if (all_ready) state.SetItemsProcessed(state.iterations() * state.range(0));
}

// One iteration: select one ready descriptor and add it back.  With one
// ready, every call waits (one poll over the set); with all ready, one wait
// serves n calls and the rest is the manager's own work.
void select_and_add_back(benchmark::State &state, bool all_ready) {
    pipes set(static_cast<int>(state.range(0)), all_ready);
    if (set.read_ends.size() != static_cast<size_t>(state.range(0))) return state.SkipWithError("no pipes");
    jlong h = Java_com_velmar_server_port_JniSelectManager_createNative(nullptr, nullptr);
    Java_com_velmar_server_port_JniSelectManager_initNative(nullptr, nullptr, h);
    for (int fd : set.read_ends) Java_com_velmar_server_port_JniSelectManager_addNative(nullptr, nullptr, h, fd);
    for (auto _ : state) {
        int fd = Java_com_velmar_server_port_JniSelectManager_selectNative(nullptr, nullptr, h, 1000);
        Java_com_velmar_server_port_JniSelectManager_addNative(nullptr, nullptr, h, fd);
    }
    Java_com_velmar_server_port_JniSelectManager_closeNative(nullptr, nullptr, h);
}

BENCHMARK_CAPTURE(bare_epoll, one_ready, false)->Arg(16)->Arg(256)->Arg(1024)->Arg(8191);
BENCHMARK_CAPTURE(bare_epoll, all_ready, true)->Arg(16)->Arg(256)->Arg(1024)->Arg(8191);
BENCHMARK_CAPTURE(select_and_add_back, one_ready, false)->Arg(16)->Arg(256)->Arg(1024)->Arg(8191);
BENCHMARK_CAPTURE(select_and_add_back, all_ready, true)->Arg(16)->Arg(256)->Arg(1024)->Arg(8191);

}  // namespace

BENCHMARK_MAIN();
