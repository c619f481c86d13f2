// Entry points of com.velmar.vfs.Syslog: records to the system log.
#include "boundary.h"
#include "com_velmar_vfs_Syslog.h"

#include <syslog.h>

namespace {

constexpr char log_identity[] = "Talvo";
constexpr size_t log_buffer_size = 8192;

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_com_velmar_vfs_Syslog_nativeOpenSyslog(JNIEnv *, jobject) {
    openlog(log_identity, 0, LOG_DAEMON);
}

extern "C" JNIEXPORT void JNICALL Java_com_velmar_vfs_Syslog_nativeSyslog(JNIEnv *env, jobject, jint priority,
                                                                          jstring msg) {
    // Copied and released before logging, so the string is not held during the call.
    char buffer[log_buffer_size];
    if (talvo::copy_name(env, msg, buffer) != talvo::name_state::copied) return;
    // The message is never the format: percent signs are logged as they are.
    syslog(priority, "%s", buffer);
}
