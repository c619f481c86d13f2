// Small helpers shared by the JNI entry points.
#pragma once

#include "talvo.h"

#include <cstdint>

namespace talvo {

// A handle is the record's whole address; 0 means none.
template <class T>
T *from_handle(jlong handle) {
    return reinterpret_cast<T *>(static_cast<intptr_t>(handle));
}

inline jlong to_handle(const void *record) { return static_cast<jlong>(reinterpret_cast<intptr_t>(record)); }

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

// True when `array` is not null and [offset, offset + length) lies inside it,
// so that a region copy of that window cannot fail.
inline bool array_window_ok(JNIEnv *env, jbyteArray array, jint offset, jint length) {
    if (array == nullptr || offset < 0 || length < 0) return false;
    return static_cast<int64_t>(offset) + length <= env->GetArrayLength(array);
}

// A wider value's low 32 bits as a Java int, bit for bit.
inline jint low_32(uint64_t value) { return static_cast<jint>(static_cast<uint32_t>(value)); }

}  // namespace talvo
