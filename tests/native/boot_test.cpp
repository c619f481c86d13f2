// The daemon launch's paths that a real JVM cannot be driven into: strings
// whose characters the VM cannot give.  A scripted JNI table stands in for
// the VM and counts what the launch holds; the sanitizer builds see leaks
// and overruns.  The launch of a missing program runs for real.
#include "talvo.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern "C" jint Java_com_velmar_server_boot_TalvoBoot_execDaemon(JNIEnv *, jobject, jobjectArray, jobjectArray,
                                                                  jstring);

namespace {

struct fake_string {
    std::string utf;
    bool unreadable = false;  // GetStringUTFChars fails, as when the VM is out of memory
};

struct fake_array {
    std::vector<fake_string *> items;
};

// What the launch holds of the fake VM, and what it raised.
struct fake_vm {
    int local_refs = 0;
    int chars_held = 0;
    bool pending = false;
    std::vector<std::string> thrown;
};

fake_vm *vm;

jsize JNICALL array_length(JNIEnv *, jarray array) {
    return static_cast<jsize>(reinterpret_cast<fake_array *>(array)->items.size());
}

jobject JNICALL array_element(JNIEnv *, jobjectArray array, jsize i) {
    fake_string *item = reinterpret_cast<fake_array *>(array)->items.at(static_cast<size_t>(i));
    if (item != nullptr) ++vm->local_refs;
    return reinterpret_cast<jobject>(item);
}

void JNICALL delete_local_ref(JNIEnv *, jobject ref) {
    if (ref != nullptr) --vm->local_refs;
}

jsize JNICALL utf_length(JNIEnv *, jstring s) {
    return static_cast<jsize>(reinterpret_cast<fake_string *>(s)->utf.size());
}

const char *JNICALL utf_chars(JNIEnv *, jstring s, jboolean *) {
    auto *string = reinterpret_cast<fake_string *>(s);
    if (string->unreadable) {
        vm->pending = true;
        return nullptr;
    }
    ++vm->chars_held;
    return string->utf.c_str();
}

void JNICALL release_utf_chars(JNIEnv *, jstring, const char *) { --vm->chars_held; }

jboolean JNICALL exception_check(JNIEnv *) { return vm->pending ? JNI_TRUE : JNI_FALSE; }

jclass JNICALL find_class(JNIEnv *, const char *name) {
    vm->thrown.emplace_back(name);
    ++vm->local_refs;
    return reinterpret_cast<jclass>(vm);
}

jint JNICALL throw_new(JNIEnv *, jclass, const char *message) {
    vm->thrown.back() += std::string(": ") + message;
    vm->pending = true;
    return 0;
}

class DaemonLaunch : public testing::Test {
protected:
    void SetUp() override {
        vm = &state;
        table.GetArrayLength = array_length;
        table.GetObjectArrayElement = array_element;
        table.DeleteLocalRef = delete_local_ref;
        table.GetStringUTFLength = utf_length;
        table.GetStringUTFChars = utf_chars;
        table.ReleaseStringUTFChars = release_utf_chars;
        table.ExceptionCheck = exception_check;
        table.FindClass = find_class;
        table.ThrowNew = throw_new;
        env.functions = &table;
        char here[PATH_MAX];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        cwd = here;
        char dir_template[] = "/tmp/boot_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir = dir_template;
        pwd.utf = dir;
    }

    void TearDown() override {
        rmdir(dir.c_str());
        vm = nullptr;
    }

    jint launch(fake_array &argv, fake_array &envp) {
        return Java_com_velmar_server_boot_TalvoBoot_execDaemon(&env, nullptr, reinterpret_cast<jobjectArray>(&argv),
                                                                reinterpret_cast<jobjectArray>(&envp),
                                                                reinterpret_cast<jstring>(&pwd));
    }

    // Nothing of the call is still held, and no process was left behind.
    void expect_nothing_held() {
        EXPECT_EQ(state.local_refs, 0);
        EXPECT_EQ(state.chars_held, 0);
        errno = 0;
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }

    // Launches argv, which must fail to run, and returns what the daemon
    // wrote on its standard error.
    std::string failure_output(fake_array &argv) {
        fake_array envp;
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return "no pipe";
        int saved = dup(STDERR_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[1]);
        jint result = launch(argv, envp);
        dup2(saved, STDERR_FILENO);
        close(saved);
        EXPECT_EQ(chdir(cwd.c_str()), 0);
        EXPECT_EQ(result, 1);
        EXPECT_TRUE(state.thrown.empty());
        expect_nothing_held();
        // The daemon holds the only write end; its exit ends the stream.
        std::string err;
        char buf[8192];
        for (;;) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 10000) != 1) {
                ADD_FAILURE() << "the daemon did not finish";
                break;
            }
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            err.append(buf, static_cast<size_t>(n));
        }
        close(out[0]);
        return err;
    }

    std::string current_dir() {
        char here[PATH_MAX];
        return getcwd(here, sizeof here) != nullptr ? here : "";
    }

    fake_vm state;
    JNINativeInterface_ table{};
    JNIEnv env{};
    std::string cwd;
    std::string dir;
    fake_string pwd;
};

TEST_F(DaemonLaunch, UnreadableCharactersStopItBeforeTheDirectoryChanges) {
    std::vector<fake_string> strings(1000);
    for (size_t i = 0; i < strings.size(); ++i) strings[i].utf = "argument " + std::to_string(i);
    strings[0].utf = "/bin/true";
    fake_string variable{"A=1"};

    for (int where = 0; where < 3; ++where) {
        SCOPED_TRACE(where);
        state = fake_vm{};
        fake_array argv;
        fake_array envp{{&variable, nullptr, &variable}};
        for (auto &s : strings) argv.items.push_back(&s);
        argv.items[500] = nullptr;  // a null element among them
        // The last argument, the last variable, or the directory.
        fake_string unreadable{"x", true};
        if (where == 0) argv.items.back() = &unreadable;
        if (where == 1) envp.items.back() = &unreadable;
        if (where == 2) pwd.unreadable = true;

        launch(argv, envp);
        pwd.unreadable = false;
        // The VM's own OutOfMemoryError stays the one pending.
        EXPECT_TRUE(state.pending);
        EXPECT_TRUE(state.thrown.empty());
        EXPECT_EQ(current_dir(), cwd);
        expect_nothing_held();
    }
}

TEST_F(DaemonLaunch, AFailedExecWritesOneLineWithTheWholePath) {
    // Longer than the system takes as a path: the daemon gives ENAMETOOLONG.
    fake_string path{"/" + std::string(5000, 'p')};
    fake_array argv{{&path}};
    EXPECT_EQ(failure_output(argv), "exec failed " + path.utf + " -> " + std::to_string(ENAMETOOLONG) + "\n");
    // No argument at all: no path either.
    fake_array none;
    EXPECT_EQ(failure_output(none), "exec failed  -> " + std::to_string(ENOENT) + "\n");
}

}  // namespace
