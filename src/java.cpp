// Raising Java exceptions from native code.
#include "java.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr int message_buffer_size = 8192;
constexpr int error_text_size = 256;

bool can_throw(JNIEnv *env) { return env != nullptr && env->ExceptionCheck() == JNI_FALSE; }

__attribute__((format(printf, 3, 0))) void throw_formatted(JNIEnv *env, const char *cl, const char *fmt,
                                                           va_list list) {
    char buf[message_buffer_size];
    // Cut at the buffer's end: paths of up to 8191 bytes reach these formats.
    vsnprintf(buf, sizeof buf, fmt, list);
    talvo_throw_exception(env, cl, buf);
}

// strerror_r comes in two shapes: the GNU one returns the text (which may
// not be in `buf`), the XSI one returns 0 and fills `buf`.
[[maybe_unused]] const char *error_text(const char *result, const char *) { return result; }
[[maybe_unused]] const char *error_text(int result, const char *buf) { return result == 0 ? buf : "Unknown error"; }

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
    va_list list;
    va_start(list, fmt);
    throw_formatted(env, cl, fmt, list);
    va_end(list);
}

extern "C" void tuk_log(const char *, ...) {}

namespace talvo {

void throw_null_pointer(JNIEnv *env, const char *what) { talvo_throw_exception(env, null_pointer_exception, what); }

void throw_out_of_memory(JNIEnv *env, const char *message) {
    talvo_throw_exception(env, out_of_memory_error, message);
}

void throw_socket_exception(JNIEnv *env, const char *fmt, ...) {
    va_list list;
    va_start(list, fmt);
    throw_formatted(env, socket_exception, fmt, list);
    va_end(list);
}

void throw_io_exception(JNIEnv *env, const char *fmt, ...) {
    va_list list;
    va_start(list, fmt);
    throw_formatted(env, io_exception, fmt, list);
    va_end(list);
}

void throw_io_exception_for_errno(JNIEnv *env, int error) {
    char text[error_text_size];
    talvo_throw_exception(env, io_exception, error_text(strerror_r(error, text, sizeof text), text));
}

void throw_open_for_write_failure(JNIEnv *env, const char *path, int error) {
    switch (error) {
    case EACCES: throw_io_exception(env, "'%s' permission denied", path); break;
    case ENOTDIR: throw_io_exception(env, "'%s' parent directory does not exist", path); break;
    case EISDIR: throw_io_exception(env, "'%s' is a directory", path); break;
    case ENFILE:
    case EMFILE: throw_io_exception(env, "too many files open"); break;
    default: throw_io_exception(env, "'%s' unknown error (errno=%d).", path, error); break;
    }
}

}  // namespace talvo
