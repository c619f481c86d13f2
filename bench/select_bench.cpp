// Where one hand-out of the select manager spends its time: the same cycle as
// the Java benchmark (select the one ready descriptor, add it back), next to
// a bare poll over the same set, which is the kernel's share of it.
#include "talvo.h"

#include <benchmark/benchmark.h>

#include <poll.h>
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

// n pipes, the middle one readable.
struct pipes {
    std::vector<int> read_ends;
    std::vector<int> write_ends;
    explicit pipes(int n) {
        for (int i = 0; i < n; ++i) {
            int fds[2];
            if (pipe(fds) != 0) break;
            read_ends.push_back(fds[0]);
            write_ends.push_back(fds[1]);
        }
        if (!write_ends.empty() && write(write_ends[write_ends.size() / 2], "x", 1) != 1) read_ends.clear();
    }
    ~pipes() {
        for (int fd : read_ends) close(fd);
        for (int fd : write_ends) close(fd);
    }
};

void bare_poll(benchmark::State &state) {
    pipes set(static_cast<int>(state.range(0)));
    if (set.read_ends.size() != static_cast<size_t>(state.range(0))) return state.SkipWithError("no pipes");
    std::vector<pollfd> items;
    for (int fd : set.read_ends) items.push_back(pollfd{fd, POLLIN | POLLPRI, 0});
    for (auto _ : state) benchmark::DoNotOptimize(poll(items.data(), items.size(), 0));
}

void select_and_add_back(benchmark::State &state) {
    pipes set(static_cast<int>(state.range(0)));
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

BENCHMARK(bare_poll)->Arg(16)->Arg(256)->Arg(1024)->Arg(8191);
BENCHMARK(select_and_add_back)->Arg(16)->Arg(256)->Arg(1024)->Arg(8191);

}  // namespace

BENCHMARK_MAIN();
