// main() of the suites that need a real JNIEnv: one JVM for the whole run.
#include "jvm.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {
JNIEnv *the_env;
}  // namespace

JNIEnv *talvo_test::env() { return the_env; }

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string class_path = std::string("-Djava.class.path=") + TALVO_JAR;
    JavaVMOption options[] = {
        {const_cast<char *>(class_path.c_str()), nullptr},
        {const_cast<char *>("-Xcheck:jni"), nullptr},
        {const_cast<char *>("-Xrs"), nullptr},
    };
    JavaVMInitArgs args{JNI_VERSION_10, sizeof options / sizeof options[0], options, JNI_FALSE};
    JavaVM *vm = nullptr;
    void *env = nullptr;
    if (JNI_CreateJavaVM(&vm, &env, &args) != JNI_OK) {
        fprintf(stderr, "cannot create the JVM\n");
        return 2;
    }
    the_env = static_cast<JNIEnv *>(env);
    int result = RUN_ALL_TESTS();
    // DestroyJavaVM waits for non-daemon threads; the process ends here anyway.
    fflush(stdout);
    _exit(result);
}
