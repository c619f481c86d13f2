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

// Descriptors opened here are not inherited by programs the process launches.
constexpr int open_flags_extra = O_CLOEXEC;
constexpr mode_t create_mode = 0666;

bool is_type(const struct stat &st, mode_t type) { return (st.st_mode & S_IFMT) == type; }

// The constructor of FileStatus, looked up once and shared by every thread;
// concurrent first calls store the same identifier.
std::atomic<jmethodID> file_status_constructor{nullptr};

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

    // The class is looked up on every call; a failed lookup leaves the VM's error pending.
    jclass file_status_class = env->FindClass("com/velmar/vfs/FileStatus");
    if (file_status_class == nullptr) return nullptr;
    jmethodID constructor = file_status_constructor.load(std::memory_order_acquire);
    if (constructor == nullptr) {
        constructor = env->GetMethodID(file_status_class, "<init>", "(JJIIIIJJJJJJJZZZZZZZ)V");
        file_status_constructor.store(constructor, std::memory_order_release);
        if (constructor == nullptr) {
            env->DeleteLocalRef(file_status_class);
            return nullptr;
        }
    }
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
