// Raising Java exceptions from native code.
#include "talvo.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr int message_buffer_size = 8192;

bool can_throw(JNIEnv *env) { return env != nullptr && env->ExceptionCheck() == JNI_FALSE; }

}  // namespace

extern "C" void talvo_throw_exception(JNIEnv *env, const char *cl, const char *buf) {
    if (can_throw(env)) {
        // A class that cannot be found leaves the VM's own lookup error pending.
        jclass clazz = env->FindClass(cl);
        if (clazz != nullptr) {
            env->ThrowNew(clazz, buf);
            env->DeleteLocalRef(clazz);
            return;
        }
    }
    fprintf(stderr, "%s\n", buf);
}

extern "C" void talvo_printf_exception(JNIEnv *env, const char *cl, const char *fmt, ...) {
    char buf[message_buffer_size];
    va_list list;
    va_start(list, fmt);
    // Cut at the buffer's end: paths of up to 8191 bytes reach these formats.
    vsnprintf(buf, sizeof buf, fmt, list);
    va_end(list);
    talvo_throw_exception(env, cl, buf);
}

extern "C" void tuk_log(const char *, ...) {}
