// The JVM that a *_jvm_test suite runs in: created once by jvm_main.cpp with
// -Xcheck:jni, and attached to the main thread.
#pragma once

#include <jni.h>

#include <functional>
#include <string>

namespace talvo_test {

JNIEnv *env();
JavaVM *vm();

// Runs `body` with standard error captured, and returns what it wrote.
std::string capture_stderr(const std::function<void()> &body);

// The class name of the pending exception and its message ("" if none);
// clears it.
struct pending_exception {
    std::string class_name;
    std::string message;
};
pending_exception take_exception(JNIEnv *env);

}  // namespace talvo_test
