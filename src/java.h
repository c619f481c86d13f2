// Raising the Java exceptions of the library: one helper per class, each a
// single call at the entry point, which then returns its neutral result.
#pragma once

#include "talvo.h"

namespace talvo {

inline constexpr char null_pointer_exception[] = "java/lang/NullPointerException";
inline constexpr char socket_exception[] = "java/net/SocketException";
inline constexpr char io_exception[] = "java/io/IOException";
inline constexpr char out_of_memory_error[] = "java/lang/OutOfMemoryError";

// `what` names the missing argument.
void throw_null_pointer(JNIEnv *env, const char *what);
void throw_out_of_memory(JNIEnv *env, const char *message);
void throw_socket_exception(JNIEnv *env, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void throw_io_exception(JNIEnv *env, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// IOException with the system's text for `error`.
void throw_io_exception_for_errno(JNIEnv *env, int error);

// IOException for a file that could not be opened for writing, worded by the
// open's `error`.
void throw_open_for_write_failure(JNIEnv *env, const char *path, int error);

}  // namespace talvo
