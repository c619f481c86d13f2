// main() of the suites that need a real JNIEnv: one JVM for the whole run.
#include "jvm.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace talvo_test {
namespace {
JavaVM *the_vm;
JNIEnv *the_env;
}  // namespace

JNIEnv *env() { return the_env; }
JavaVM *vm() { return the_vm; }

std::string capture_stderr(const std::function<void()> &body) {
    testing::internal::CaptureStderr();
    body();
    fflush(stderr);
    return testing::internal::GetCapturedStderr();
}

pending_exception take_exception(JNIEnv *env) {
    pending_exception result;
    jthrowable thrown = env->ExceptionOccurred();
    if (thrown == nullptr) return result;
    env->ExceptionClear();
    // Throwable.toString() is "class.Name" or "class.Name: message".
    jclass throwable = env->FindClass("java/lang/Throwable");
    jmethodID to_string = env->GetMethodID(throwable, "toString", "()Ljava/lang/String;");
    auto text = static_cast<jstring>(env->CallObjectMethod(thrown, to_string));
    if (env->ExceptionCheck()) env->ExceptionClear();
    const char *chars = env->GetStringUTFChars(text, nullptr);
    std::string whole = chars;
    env->ReleaseStringUTFChars(text, chars);
    size_t colon = whole.find(": ");
    result.class_name = whole.substr(0, colon);
    if (colon != std::string::npos) result.message = whole.substr(colon + 2);
    env->DeleteLocalRef(text);
    env->DeleteLocalRef(throwable);
    env->DeleteLocalRef(thrown);
    return result;
}

}  // namespace talvo_test

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string class_path = std::string("-Djava.class.path=") + TALVO_JAR;
    JavaVMOption options[] = {
        {const_cast<char *>(class_path.c_str()), nullptr},
        {const_cast<char *>("-Xcheck:jni"), nullptr},
        {const_cast<char *>("-Xrs"), nullptr},
    };
    JavaVMInitArgs args{};
    args.version = JNI_VERSION_10;
    args.nOptions = sizeof options / sizeof options[0];
    args.options = options;
    void *env = nullptr;
    if (JNI_CreateJavaVM(&talvo_test::the_vm, &env, &args) != JNI_OK) {
        fprintf(stderr, "cannot create the JVM\n");
        return 2;
    }
    talvo_test::the_env = static_cast<JNIEnv *>(env);
    int result = RUN_ALL_TESTS();
    // DestroyJavaVM waits for non-daemon threads; the process ends here anyway.
    fflush(stdout);
    _exit(result);
}
