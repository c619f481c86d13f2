// The daemon launch against a scripted JNI table that counts what the launch
// holds, and can refuse a string's characters as a VM out of memory does;
// the sanitizer builds see leaks and overruns.
#include "com_velmar_server_boot_TalvoBoot.h"
#include "talvo.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct fake_string {
    std::string utf;
    bool unreadable = false;  // GetStringUTFChars fails, as when the VM is out of memory
};
using fake_array = std::vector<fake_string *>;

// What the launch holds of the fake VM, and what it raised.
struct fake_vm {
    int local_refs = 0, chars_held = 0;
    bool pending = false;
    std::vector<std::string> thrown;
} vm;

fake_string *str(jobject s) { return reinterpret_cast<fake_string *>(s); }
fake_array *arr(jobject a) { return reinterpret_cast<fake_array *>(a); }

JNINativeInterface_ fake_table() {
    JNINativeInterface_ t{};
    t.GetArrayLength = [](JNIEnv *, jarray a) { return static_cast<jsize>(arr(a)->size()); };
    t.GetObjectArrayElement = [](JNIEnv *, jobjectArray a, jsize i) {
        fake_string *item = arr(a)->at(static_cast<size_t>(i));
        vm.local_refs += item != nullptr;
        return reinterpret_cast<jobject>(item);
    };
    t.DeleteLocalRef = [](JNIEnv *, jobject ref) { vm.local_refs -= ref != nullptr; };
    t.GetStringUTFLength = [](JNIEnv *, jstring s) { return static_cast<jsize>(str(s)->utf.size()); };
    t.GetStringUTFChars = [](JNIEnv *, jstring s, jboolean *) -> const char * {
        vm.pending |= str(s)->unreadable;
        vm.chars_held += !str(s)->unreadable;
        return str(s)->unreadable ? nullptr : str(s)->utf.c_str();
    };
    t.ReleaseStringUTFChars = [](JNIEnv *, jstring, const char *) { --vm.chars_held; };
    t.ExceptionCheck = [](JNIEnv *) -> jboolean { return vm.pending; };
    t.FindClass = [](JNIEnv *, const char *name) {
        vm.thrown.emplace_back(name);
        ++vm.local_refs;
        return reinterpret_cast<jclass>(&vm);
    };
    t.ThrowNew = [](JNIEnv *, jclass, const char *message) {
        vm.thrown.back() += std::string(": ") + message;
        vm.pending = true;
        return 0;
    };
    return t;
}

class DaemonLaunch : public testing::Test {
protected:
    void SetUp() override {
        vm = fake_vm{};
        char dir_template[] = "/tmp/boot_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        pwd.utf = dir_template;
    }
    void TearDown() override {
        EXPECT_EQ(chdir(cwd.c_str()), 0);
        rmdir(pwd.utf.c_str());
    }

    jint launch(fake_array &argv, fake_array &envp) {
        JNIEnv env{&table};
        return Java_com_velmar_server_boot_TalvoBoot_execDaemon(&env, nullptr, reinterpret_cast<jobjectArray>(&argv),
                                                                reinterpret_cast<jobjectArray>(&envp),
                                                                reinterpret_cast<jstring>(&pwd));
    }

    // Nothing of the call is still held, nothing was raised, and no process was left behind.
    void expect_nothing_held() {
        EXPECT_EQ(vm.local_refs, 0);
        EXPECT_EQ(vm.chars_held, 0);
        EXPECT_TRUE(vm.thrown.empty());
        errno = 0;
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }

    JNINativeInterface_ table = fake_table();
    std::string cwd = std::filesystem::current_path().string();
    fake_string pwd;
};

TEST_F(DaemonLaunch, UnreadableCharactersStopItBeforeTheDirectoryChanges) {
    std::vector<fake_string> strings(1000);
    for (size_t i = 0; i < strings.size(); ++i) strings[i].utf = "argument " + std::to_string(i);
    strings[0].utf = "/bin/true";
    fake_string variable{"A=1"}, unreadable{"x", true};
    // The last argument, the last variable, or the directory.
    for (int where = 0; where < 3; ++where) {
        SCOPED_TRACE(where);
        vm = fake_vm{};
        fake_array argv, envp{&variable, nullptr, &variable};
        for (auto &s : strings) argv.push_back(&s);
        argv[500] = nullptr;  // a null element among them
        if (where == 0) argv.back() = &unreadable;
        if (where == 1) envp.back() = &unreadable;
        pwd.unreadable = where == 2;
        launch(argv, envp);
        pwd.unreadable = false;
        EXPECT_TRUE(vm.pending);  // the VM's own OutOfMemoryError stays the one pending
        EXPECT_EQ(std::filesystem::current_path().string(), cwd);
        expect_nothing_held();
    }
}

TEST_F(DaemonLaunch, ALaunchReleasesWhatItTookAndReapsTheIntermediate) {
    fake_string program{"/bin/true"}, variable{"A=1"};
    fake_array argv{&program, nullptr}, envp{&variable};
    EXPECT_EQ(launch(argv, envp), 1);
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(pwd.utf));
    expect_nothing_held();
}

}  // namespace
