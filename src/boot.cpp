// Entry point of com.velmar.server.boot.TalvoBoot: launching a program as a
// detached daemon process by a double fork.
#include "com_velmar_server_boot_TalvoBoot.h"
#include "jni_vfs/boundary.h"
#include "talvo.h"

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Copies the modified UTF-8 characters of jaddr into buf, at most buflen - 1
// bytes and a NUL.  Null when the VM cannot give the characters (it then has
// OutOfMemoryError pending); buf is not written then.
char *get_utf8(JNIEnv *env, jstring jaddr, char *buf, int buflen) {
    talvo::utf_chars chars(env, jaddr);
    if (chars.get() == nullptr) return nullptr;
    strncpy(buf, chars.get(), static_cast<size_t>(buflen));
    buf[buflen - 1] = 0;
    return buf;
}

enum class copied { ok, no_chars, no_memory };

// A heap copy of a Java string (null: an empty string) in a block of its
// exact size.
copied copy_string(JNIEnv *env, jstring string, char *&out) {
    out = nullptr;
    jsize len = string == nullptr ? 0 : env->GetStringUTFLength(string);
    // The length of a string of more than 2^31 - 1 bytes cannot be trusted.
    if (len < 0 || len == INT_MAX) return copied::no_memory;
    char *block = static_cast<char *>(malloc(static_cast<size_t>(len) + 1));
    if (block == nullptr) return copied::no_memory;
    if (string == nullptr) {
        block[0] = 0;
    } else if (get_utf8(env, string, block, len + 1) == nullptr) {
        free(block);
        return copied::no_chars;
    }
    out = block;
    return copied::ok;
}

// A null-terminated vector of heap strings that frees itself; the copy of
// element i sits at position i.
class string_vector {
public:
    string_vector() = default;
    string_vector(const string_vector &) = delete;
    string_vector &operator=(const string_vector &) = delete;
    ~string_vector() {
        if (items_ == nullptr) return;
        for (size_t i = 0; i < count_; ++i) free(items_[i]);
        free(items_);
    }

    copied fill(JNIEnv *env, jobjectArray array) {
        jsize n = env->GetArrayLength(array);
        // Zeroed, so the terminator is in place and a partial fill frees cleanly.
        items_ = static_cast<char **>(calloc(static_cast<size_t>(n) + 1, sizeof(char *)));
        if (items_ == nullptr) return copied::no_memory;
        count_ = static_cast<size_t>(n);
        for (jsize i = 0; i < n; ++i) {
            auto element = static_cast<jstring>(env->GetObjectArrayElement(array, i));
            copied result = copy_string(env, element, items_[i]);
            // Long arrays must not fill the local reference table.
            if (element != nullptr) env->DeleteLocalRef(element);
            if (result != copied::ok) return result;
        }
        return copied::ok;
    }

    char **get() const { return items_; }
    size_t size() const { return count_; }

private:
    char **items_ = nullptr;
    size_t count_ = 0;
};

struct heap_text {
    char *text = nullptr;
    heap_text() = default;
    heap_text(const heap_text &) = delete;
    heap_text &operator=(const heap_text &) = delete;
    ~heap_text() { free(text); }
};

constexpr char failure_prefix[] = "exec failed ";
constexpr char failure_middle[] = " -> ";
// Room for any int in decimal, its sign and the newline.
constexpr size_t failure_number_room = 13;

// Fills line with "exec failed PATH -> ERRNO\n" without stdio or the
// allocator, and returns its length.  Safe between fork and exec.
size_t format_failure(char *line, const char *path, int err) {
    size_t at = 0;
    auto put = [&](const char *s, size_t n) {
        memcpy(line + at, s, n);
        at += n;
    };
    put(failure_prefix, sizeof failure_prefix - 1);
    put(path, strlen(path));
    put(failure_middle, sizeof failure_middle - 1);
    char digits[12];
    size_t d = 0;
    // Negative by construction, so INT_MIN needs no special case.
    int rest = err > 0 ? -err : err;
    do {
        digits[d++] = static_cast<char>('0' - rest % 10);
        rest /= 10;
    } while (rest != 0);
    if (err < 0) line[at++] = '-';
    while (d > 0) line[at++] = digits[--d];
    line[at++] = '\n';
    return at;
}

// The failure line is filled after the fork, where nothing may be allocated.
copied allocate_failure_line(const char *path, char *&out) {
    size_t size = sizeof failure_prefix + sizeof failure_middle + strlen(path) + failure_number_room;
    out = static_cast<char *>(malloc(size));
    return out != nullptr ? copied::ok : copied::no_memory;
}

void write_all(int fd, const char *data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        len -= static_cast<size_t>(n);
    }
}

// The grandchild: only async-signal-safe calls from here on, since the
// forking JVM's other threads may have held any lock at the fork.
[[noreturn]] void become_daemon(const char *path, char *const argv[], char *const envp[], char *line) {
    (void)setsid();
    // A JVM thread blocks signals such as SIGQUIT, and a mask survives execve:
    // the program starts with none blocked.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(path, argv, envp);
    int err = errno;
    write_all(STDERR_FILENO, line, format_failure(line, path, err));
    _exit(1);
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_server_boot_TalvoBoot_execDaemon(JNIEnv *env, jobject,
                                                                                   jobjectArray j_argv,
                                                                                   jobjectArray j_envp, jstring j_pwd) {
    // Only the first missing argument is reported.
    const char *missing = j_argv == nullptr ? "argv" : j_envp == nullptr ? "envp" : j_pwd == nullptr ? "pwd" : nullptr;
    if (missing != nullptr) {
        talvo_throw_exception(env, "java/lang/NullPointerException", missing);
        return 1;
    }

    // Everything the children need is made here, before the first fork.
    string_vector argv;
    string_vector envp;
    heap_text pwd;
    heap_text line;
    copied result = argv.fill(env, j_argv);
    if (result == copied::ok) result = envp.fill(env, j_envp);
    if (result == copied::ok) result = copy_string(env, j_pwd, pwd.text);
    // With no argument there is no path: execve fails on "" and says so.
    const char *path = result == copied::ok && argv.size() > 0 ? argv.get()[0] : "";
    if (result == copied::ok) result = allocate_failure_line(path, line.text);
    // no_chars: the VM's OutOfMemoryError is already pending.
    if (result == copied::no_memory)
        talvo_throw_exception(env, "java/lang/OutOfMemoryError", "no memory for the daemon's arguments");
    if (result != copied::ok) return 1;

    if (chdir(pwd.text) != 0) {}  // a failed change leaves the daemon in the JVM's directory

    pid_t child = fork();
    if (child == 0) {
        // _Fork runs no atfork handlers and is async-signal-safe, unlike fork.
        if (_Fork() == 0) become_daemon(path, argv.get(), envp.get(), line.text);
        _exit(0);
    }
    // The intermediate process ends at once; reap it so that it does not
    // stay a zombie of the JVM.
    if (child > 0) {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    return 1;
}
