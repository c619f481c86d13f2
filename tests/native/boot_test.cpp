// The daemon launch against a scripted JNI table that counts what the launch holds and can refuse
// a string's characters as a VM out of memory does; the sanitizer builds see leaks and overruns.
#include "com_velmar_server_boot_TalvoBoot.h"
#include "talvo.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct fake_string {
    std::string utf;
    bool unreadable = false;  // GetStringUTFChars fails, as when the VM is out of memory
};
using fake_array = std::vector<fake_string *>;

// What the launch holds of the fake VM, and how many exceptions it raised.
struct fake_vm {
    int local_refs = 0, chars_held = 0, thrown = 0;
    bool pending = false;
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
    t.FindClass = [](JNIEnv *, const char *) { return ++vm.local_refs, reinterpret_cast<jclass>(&vm); };
    t.ThrowNew = [](JNIEnv *, jclass, const char *) { return ++vm.thrown, vm.pending = true, 0; };
    return t;
}

// A null element among many arguments; then characters that cannot be had in the last argument,
// the last variable or the directory stop the launch before the directory changes, and the VM's
// own OutOfMemoryError stays the one pending.  Whole, it reaps the intermediate process.
TEST(DaemonLaunch, ReleasesWhatItTookWhetherItLaunchesOrNot) {
    const std::filesystem::path cwd = std::filesystem::current_path();
    char dir_template[] = "/tmp/boot_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    JNINativeInterface_ table = fake_table();
    JNIEnv env{&table};
    std::vector<fake_string> strings(1000);
    for (size_t i = 0; i < strings.size(); ++i) strings[i].utf = "argument " + std::to_string(i);
    strings[0].utf = "/bin/true";
    fake_string variable{"A=1"}, unreadable{"x", true}, pwd{dir_template};
    for (int where = 0; where < 4; ++where) {
        SCOPED_TRACE(where);
        vm = fake_vm{};
        fake_array argv, envp{&variable, nullptr, &variable};
        for (auto &s : strings) argv.push_back(&s);
        argv[500] = nullptr;
        if (where == 0) argv.back() = &unreadable;
        if (where == 1) envp.back() = &unreadable;
        pwd.unreadable = where == 2;
        jint result = Java_com_velmar_server_boot_TalvoBoot_execDaemon(
            &env, nullptr, reinterpret_cast<jobjectArray>(&argv), reinterpret_cast<jobjectArray>(&envp),
            reinterpret_cast<jstring>(&pwd));
        EXPECT_EQ(vm.pending, where < 3);
        EXPECT_EQ(result, 1);  // whatever happened: the launch has no failure result
        EXPECT_EQ(std::filesystem::current_path(), where < 3 ? cwd : std::filesystem::canonical(dir_template));
        EXPECT_EQ(std::tuple(vm.local_refs, vm.chars_held, vm.thrown), std::tuple(0, 0, 0));
        errno = 0;
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }
    EXPECT_EQ(chdir(cwd.c_str()), 0);
    rmdir(dir_template);
}

}  // namespace
