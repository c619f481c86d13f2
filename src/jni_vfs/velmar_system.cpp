// Entry point of com.velmar.util.VelmarSystem: taking on the ids of a named account.
#include "boundary.h"
#include "com_velmar_util_VelmarSystem.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

constexpr size_t name_buffer_size = 256;
// Beyond this an entry is taken as unreadable rather than grown into forever.
constexpr size_t max_entry_buffer = size_t{64} << 20;

enum class found { yes, no, error };

// Runs a reentrant database lookup (getpwnam_r, getgrnam_r) with a buffer
// sized from sysconf and doubled while the entry does not fit.
template <class Entry, class Lookup>
found lookup(Lookup fn, int size_hint, const char *name, Entry &entry) {
    long hint = sysconf(size_hint);
    size_t size = hint > 0 ? static_cast<size_t>(hint) : 16384;
    for (;;) {
        talvo::malloc_ptr<char> buffer(static_cast<char *>(malloc(size)));
        if (!buffer) return found::error;
        Entry *result = nullptr;
        int rc = fn(name, &entry, buffer.get(), size, &result);
        if (rc == ERANGE && size < max_entry_buffer) {
            size *= 2;
            continue;
        }
        if (rc == 0 && result != nullptr) return found::yes;
        // Not found is a zero result or one of the "no such entry" codes.
        if (rc == 0 || rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM) return found::no;
        return found::error;
    }
}

// The account's fields are used only while the lookup's buffer is alive, so
// each lookup hands back just the id it was asked for.
found user_ids(const char *name, int &uid, int &gid) {
    passwd entry{};
    found f = lookup(getpwnam_r, _SC_GETPW_R_SIZE_MAX, name, entry);
    if (f == found::yes) {
        uid = static_cast<int>(entry.pw_uid);
        gid = static_cast<int>(entry.pw_gid);
    }
    return f;
}

found group_id(const char *name, int &gid) {
    group entry{};
    found f = lookup(getgrnam_r, _SC_GETGR_R_SIZE_MAX, name, entry);
    if (f == found::yes) gid = static_cast<int>(entry.gr_gid);
    return f;
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_velmar_util_VelmarSystem_setUserNative(JNIEnv *env, jobject, jstring juser,
                                                                                  jstring jgroup) {
    char userbuf[name_buffer_size];
    char groupbuf[name_buffer_size];
    // A name whose characters the VM cannot give leaves OutOfMemoryError
    // pending: no further JNI call, and no switch to half of what was asked.
    if (talvo::copy_name(env, juser, userbuf) != talvo::name_state::copied) return -1;
    talvo::name_state group_state = talvo::copy_name(env, jgroup, groupbuf);
    if (group_state == talvo::name_state::unreadable) return -1;

    int uid = 0;
    int user_gid = 0;
    if (user_ids(userbuf, uid, user_gid) != found::yes) return -1;

    // A group of that name first; only when there is none, the primary group
    // of the account of that name.
    int gid = 0;
    if (group_state == talvo::name_state::copied) {
        found f = group_id(groupbuf, gid);
        if (f == found::no) {
            int ignored_uid = 0;
            f = user_ids(groupbuf, ignored_uid, gid);
        }
        if (f != found::yes) gid = 0;
    }
    // A process that leaves the superuser's uid must not keep its group:
    // without a usable named group it takes the user's own.
    bool leaving_root = getuid() == 0 && uid > 0;
    if (gid <= 0 && leaving_root) gid = user_gid;
    if (gid > 0 && setgid(static_cast<gid_t>(gid)) != 0) return static_cast<jint>(getuid());

    if (getuid() == static_cast<uid_t>(uid)) return uid;
    if (uid > 0) {
        gid_t in_effect = getgid();
        if (leaving_root && in_effect == 0) return 0;
        // Leave the superuser's supplementary groups behind.  Should the
        // account's groups be unreadable, the group in effect stands alone;
        // should neither work, the switch stops here rather than keep root's.
        if (initgroups(userbuf, in_effect) != 0 && setgroups(1, &in_effect) != 0 && leaving_root) return 0;
        if (setuid(static_cast<uid_t>(uid)) != 0) {
            // Not reported: the real user id returned below shows it.
        }
    }
    return static_cast<jint>(getuid());
}
