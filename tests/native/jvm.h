// The JVM that a *_jvm_test suite runs in: created once by jvm_main.cpp with
// -Xcheck:jni, and attached to the main thread.
#pragma once

#include <jni.h>

namespace talvo_test {
JNIEnv *env();
}  // namespace talvo_test
