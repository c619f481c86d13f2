// The rules every entry point keeps at the boundary, done once: handles to
// records, Java strings into fixed buffers, array windows and copies, retries of
// interrupted calls, and ownership of memory from malloc.
#pragma once

#include "talvo.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace talvo {

// ---------------------------------------------------------------- handles

// The record a handle names, or null for the handle 0.  A handle is the
// record's whole address; a freed or invented one is the caller's error.
template <class T>
T *from_handle(jlong handle) {
    return reinterpret_cast<T *>(static_cast<intptr_t>(handle));
}

inline jlong to_handle(const void *record) { return static_cast<jlong>(reinterpret_cast<intptr_t>(record)); }

// The connection a handle names when it is open, else null: I/O refuses a
// null handle and a closed record alike.
inline connection_t *open_connection(jlong conn_fd) {
    auto *conn = from_handle<connection_t>(conn_fd);
    return conn != nullptr && std::atomic_ref<int>(conn->fd).load(std::memory_order_relaxed) >= 0 ? conn : nullptr;
}

// ---------------------------------------------------------------- strings

// The modified UTF-8 characters of a Java string, released when it goes out
// of scope.  get() is null for a null string or when the VM has none to give
// (it then has OutOfMemoryError pending).
class utf_chars {
public:
    utf_chars(JNIEnv *env, jstring string)
        : env_(env), string_(string), chars_(string ? env->GetStringUTFChars(string, nullptr) : nullptr) {}
    ~utf_chars() {
        if (chars_ != nullptr) env_->ReleaseStringUTFChars(string_, chars_);
    }
    utf_chars(const utf_chars &) = delete;
    utf_chars &operator=(const utf_chars &) = delete;
    const char *get() const { return chars_; }

private:
    JNIEnv *env_;
    jstring string_;
    const char *chars_;
};

// What became of a Java string copied into a buffer.  unreadable: the VM
// could not give the characters and has OutOfMemoryError pending, so the
// caller makes no further JNI call; the buffer is not written then.
enum class name_state { absent, copied, unreadable };

// Copies at most size - 1 bytes of the string's modified UTF-8 and a NUL
// into buf (size at least 1); a longer text is cut, maybe inside a character.
// The characters are released before this returns.
inline name_state copy_name(JNIEnv *env, jstring name, char *buf, size_t size) {
    if (name == nullptr) return name_state::absent;
    utf_chars chars(env, name);
    if (chars.get() == nullptr) return name_state::unreadable;
    size_t kept = strnlen(chars.get(), size - 1);
    memcpy(buf, chars.get(), kept);
    buf[kept] = '\0';
    return name_state::copied;
}

template <size_t size>
name_state copy_name(JNIEnv *env, jstring name, char (&buf)[size]) {
    static_assert(size > 0);
    return copy_name(env, name, buf, size);
}

// ---------------------------------------------------------------- arrays

// True when `array` is not null and [offset, offset + length) lies inside it,
// so that a region copy of that window cannot fail.
inline bool array_window_ok(JNIEnv *env, jbyteArray array, jint offset, jint length) {
    if (array == nullptr || offset < 0 || length < 0) return false;
    return static_cast<int64_t>(offset) + length <= env->GetArrayLength(array);
}

// A wider value's low 32 bits as a Java int, bit for bit.
inline jint low_32(uint64_t value) { return static_cast<jint>(static_cast<uint32_t>(value)); }

// ---------------------------------------------------------------- interrupted calls

// Two policies for a call that a signal interrupted before it did anything.
// Socket calls give up after a few tries: a peer that cannot be written for
// a storm of signals is reported as gone rather than spun on.  File, pipe
// and process calls are repeated until they are not interrupted, since
// reporting the signal would lose or repeat data (an interrupted read would
// look like the end of the file).  Both async-signal-safe.
inline constexpr int max_interrupted_calls = 12;  // the first call and eleven repeats

template <class Call>
auto retry_interrupted_bounded(Call call) -> decltype(call()) {
    decltype(call()) result = -1;
    for (int calls = 0; calls < max_interrupted_calls; calls++) {
        result = call();
        if (result >= 0 || errno != EINTR) break;
    }
    return result;
}

template <class Call>
auto retry_interrupted(Call call) -> decltype(call()) {
    decltype(call()) result;
    do result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

// ---------------------------------------------------------------- memory

struct free_deleter {
    void operator()(void *block) const { free(block); }
};

// Owns a block from malloc or calloc and frees it with free.
template <class T>
using malloc_ptr = std::unique_ptr<T, free_deleter>;

}  // namespace talvo

// Copies between Java byte arrays and native buffers.  A region outside the
// array copies nothing and leaves ArrayIndexOutOfBoundsException pending.
inline int set_byte_array_region(JNIEnv *env, jbyteArray j_buf, jint offset, jint sublen, const char *c_buf) {
    env->SetByteArrayRegion(j_buf, offset, sublen, reinterpret_cast<const jbyte *>(c_buf));
    return 1;
}

inline int get_byte_array_region(JNIEnv *env, jbyteArray buf, jint offset, jint sublen, char *buffer) {
    env->GetByteArrayRegion(buf, offset, sublen, reinterpret_cast<jbyte *>(buffer));
    return 1;
}
