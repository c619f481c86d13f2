// The daemon launch against a scripted JNI table that counts what the launch
// holds, and can refuse a string's characters as a VM out of memory does;
// the sanitizer builds see leaks and overruns.
#include "com_velmar_server_boot_TalvoBoot.h"
#include "talvo.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

TEST_F(DaemonLaunch, ALaunchReleasesWhatItTookAndReapsTheIntermediate) {
    fake_string program{"/bin/true"}, variable{"A=1"};
    fake_array argv{{&program, nullptr}}, envp{{&variable}};
    EXPECT_EQ(launch(argv, envp), 1);
    EXPECT_EQ(current_dir(), std::filesystem::canonical(dir).string());
    EXPECT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_TRUE(state.thrown.empty());
    expect_nothing_held();
}

}  // namespace
