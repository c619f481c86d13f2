// main() of the suites that need a real JNIEnv: one JVM with -Xcheck:jni for
// the whole run, attached to the main thread.
#include <jni.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace talvo_test {
JNIEnv *the_env;
JNIEnv *env() { return the_env; }
}  // namespace talvo_test

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string class_path = std::string("-Djava.class.path=") + TALVO_JAR;
    JavaVMOption options[] = {{class_path.data(), nullptr}, {const_cast<char *>("-Xcheck:jni"), nullptr},
                              {const_cast<char *>("-Xrs"), nullptr}};
    JavaVMInitArgs args{JNI_VERSION_10, std::size(options), options, JNI_FALSE};
    JavaVM *vm = nullptr;
    if (JNI_CreateJavaVM(&vm, reinterpret_cast<void **>(&talvo_test::the_env), &args) != JNI_OK) {
        fprintf(stderr, "cannot create the JVM\n");
        return 2;
    }
    int result = RUN_ALL_TESTS();
    fflush(stdout);
    _exit(result);  // DestroyJavaVM would wait for non-daemon threads
}
