// Entry points of com.velmar.vfs.JniFilePathImpl: queries and changes on one
// file-system path given as a byte array, and opening files for the stream
// natives.
#include "boundary.h"
#include "java.h"
#include "com_velmar_vfs_JniFilePathImpl.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr jint path_buffer_size = 8192;
constexpr jint longest_path = path_buffer_size - 1;

using path_buffer = char[path_buffer_size];

// Copies a path into `buffer` and terminates it.  The byte count is `length`
// when given, else the array's own length; it must lie in 1..8191 and inside
// the array, so a path is never cut short and no system call ever sees bytes
// that were not copied.  False when the path cannot be taken.
bool take_path(JNIEnv *env, jbyteArray name, std::optional<jint> length, path_buffer &buffer) {
    if (name == nullptr) return false;
    const jint array_length = env->GetArrayLength(name);
    const jint count = length.value_or(array_length);
    if (count < 1 || count > longest_path || count > array_length) return false;
    get_byte_array_region(env, name, 0, count, buffer);
    buffer[count] = '\0';
    return true;
}

// Descriptors opened here are not inherited by programs the process launches,
// and a terminal opened here never becomes the process's controlling terminal:
// a daemon (a session leader without one) would otherwise take it, and with it
// the hang-up that ends the process when the terminal's other end closes.
constexpr int open_flags_extra = O_CLOEXEC | O_NOCTTY;
constexpr mode_t create_mode = 0666;

bool is_type(const struct stat &st, mode_t type) { return (st.st_mode & S_IFMT) == type; }

// FileStatus, its constructor and its mtimeNanos field, looked up once.  The
// class is held weakly, so that the class loader that loaded this library
// (the only one whose classes can call it) can still be unloaded.  Threads
// that look it up at once store the same identifiers; one weak reference wins.
struct file_status_class {
    std::atomic<jweak> weak{nullptr};
    std::atomic<jmethodID> constructor{nullptr};
    std::atomic<jfieldID> mtime_nanos{nullptr};
};
file_status_class file_status;

// A local reference to FileStatus with its constructor filled in, or null
// with the VM's error pending.
jclass find_file_status(JNIEnv *env) {
    if (jweak weak = file_status.weak.load(std::memory_order_acquire)) {
        if (jobject local = env->NewLocalRef(weak)) return static_cast<jclass>(local);
    }
    jclass found = env->FindClass("com/velmar/vfs/FileStatus");
    if (found == nullptr) return nullptr;
    jmethodID constructor = env->GetMethodID(found, "<init>", "(JJIIIIJJJJJJJZZZZZZZ)V");
    if (constructor == nullptr) {
        env->DeleteLocalRef(found);
        return nullptr;
    }
    // A FileStatus without the field still gets the rest.
    jfieldID mtime_nanos = env->GetFieldID(found, "mtimeNanos", "J");
    if (mtime_nanos == nullptr) env->ExceptionClear();
    file_status.constructor.store(constructor, std::memory_order_relaxed);
    file_status.mtime_nanos.store(mtime_nanos, std::memory_order_relaxed);
    jweak expected = nullptr;
    jweak weak = env->NewWeakGlobalRef(found);
    if (weak != nullptr && !file_status.weak.compare_exchange_strong(expected, weak, std::memory_order_release))
        env->DeleteWeakGlobalRef(weak);
    return found;
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniFilePathImpl_nativeIsEnabled(JNIEnv *, jobject) { return 1; }

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniFilePathImpl_nativeGetLastModified(JNIEnv *env, jobject,
                                                                                            jbyteArray name,
                                                                                            jint length) {
    path_buffer buffer;
    struct stat st;
    if (!take_path(env, name, length, buffer) || stat(buffer, &st) != 0) return -1;
    return talvo::low_32(static_cast<uint64_t>(st.st_mtim.tv_sec));
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniFilePathImpl_nativeGetLength(JNIEnv *env, jobject,
                                                                                      jbyteArray name, jint length) {
    path_buffer buffer;
    struct stat st;
    if (!take_path(env, name, length, buffer) || stat(buffer, &st) != 0) return -1;
    return talvo::low_32(static_cast<uint64_t>(st.st_size));
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_velmar_vfs_JniFilePathImpl_nativeCanRead(JNIEnv *env, jclass,
                                                                                       jbyteArray name) {
    path_buffer buffer;
    return take_path(env, name, std::nullopt, buffer) && access(buffer, R_OK) == 0;
}

extern "C" JNIEXPORT jobject JNICALL Java_com_velmar_vfs_JniFilePathImpl_nativeStat(JNIEnv *env, jclass,
                                                                                   jbyteArray name,
                                                                                   jboolean do_lstat) {
    path_buffer buffer;
    struct stat st;
    if (!take_path(env, name, std::nullopt, buffer)) return nullptr;
    if ((do_lstat ? lstat(buffer, &st) : stat(buffer, &st)) != 0) return nullptr;

    jclass file_status_class = find_file_status(env);
    if (file_status_class == nullptr) return nullptr;
    jmethodID constructor = file_status.constructor.load(std::memory_order_relaxed);
    jobject status = env->NewObject(
        file_status_class, constructor, static_cast<jlong>(st.st_dev), static_cast<jlong>(st.st_ino),
        talvo::low_32(st.st_mode), talvo::low_32(st.st_nlink), talvo::low_32(st.st_uid), talvo::low_32(st.st_gid),
        static_cast<jlong>(st.st_rdev), static_cast<jlong>(st.st_size), static_cast<jlong>(st.st_blksize),
        static_cast<jlong>(st.st_blocks), static_cast<jlong>(st.st_atim.tv_sec),
        static_cast<jlong>(st.st_mtim.tv_sec), static_cast<jlong>(st.st_ctim.tv_sec),
        static_cast<jboolean>(is_type(st, S_IFREG)), static_cast<jboolean>(is_type(st, S_IFDIR)),
        static_cast<jboolean>(is_type(st, S_IFCHR)), static_cast<jboolean>(is_type(st, S_IFBLK)),
        static_cast<jboolean>(is_type(st, S_IFIFO)), static_cast<jboolean>(is_type(st, S_IFLNK)),
        static_cast<jboolean>(is_type(st, S_IFSOCK)));
    env->DeleteLocalRef(file_status_class);
    jfieldID mtime_nanos = file_status.mtime_nanos.load(std::memory_order_relaxed);
    if (status != nullptr && mtime_nanos != nullptr)
        env->SetLongField(status, mtime_nanos, static_cast<jlong>(st.st_mtim.tv_nsec));
    return status;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_velmar_vfs_JniFilePathImpl_nativeLink(JNIEnv *env, jclass,
                                                                                    jbyteArray name,
                                                                                    jbyteArray target,
                                                                                    jboolean hard_link) {
    path_buffer name_buffer;
    path_buffer target_buffer;
    if (!take_path(env, name, std::nullopt, name_buffer) || !take_path(env, target, std::nullopt, target_buffer))
        return JNI_FALSE;
    if ((hard_link ? link(target_buffer, name_buffer) : symlink(target_buffer, name_buffer)) == 0) return JNI_TRUE;
    talvo::throw_io_exception_for_errno(env, errno);
    return JNI_FALSE;
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_velmar_vfs_JniFilePathImpl_nativeIsDirectory(JNIEnv *env, jobject,
                                                                                           jbyteArray name) {
    path_buffer buffer;
    struct stat st;
    return take_path(env, name, std::nullopt, buffer) && stat(buffer, &st) == 0 && is_type(st, S_IFDIR);
}

extern "C" JNIEXPORT void JNICALL Java_com_velmar_vfs_JniFilePathImpl_nativeChmod(JNIEnv *env, jobject,
                                                                                 jbyteArray name, jint length,
                                                                                 jint mode) {
    path_buffer buffer;
    // Only the low 16 bits of mode reach the call; its outcome is not reported.
    if (take_path(env, name, length, buffer)) (void)chmod(buffer, static_cast<mode_t>(mode & 0xFFFF));
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniFilePathImpl_nativeOpenRead(JNIEnv *env, jobject,
                                                                                    jbyteArray name, jint length) {
    path_buffer buffer;
    if (!take_path(env, name, length, buffer)) return -1;
    const int fd = open(buffer, O_RDONLY | open_flags_extra);
    // Checked on what was opened, not on the name: a directory renamed into
    // place between a check and the open is refused all the same.
    struct stat st;
    if (fd < 0 || (fstat(fd, &st) == 0 && !is_type(st, S_IFDIR))) return fd;
    close(fd);
    return -1;
}

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_vfs_JniFilePathImpl_nativeOpenWrite(JNIEnv *env, jobject,
                                                                                     jbyteArray name, jint length,
                                                                                     jboolean is_append) {
    path_buffer buffer;
    if (!take_path(env, name, length, buffer)) return -1;
    const int flags = O_WRONLY | O_CREAT | (is_append ? O_APPEND : O_TRUNC) | open_flags_extra;
    const int fd = open(buffer, flags, create_mode);
    if (fd >= 0) return fd;
    talvo::throw_open_for_write_failure(env, buffer, errno);
    return fd;
}
