// Copies between Java byte arrays and native buffers.  A region outside the
// array copies nothing and leaves ArrayIndexOutOfBoundsException pending.
#include "talvo.h"

extern "C" int set_byte_array_region(JNIEnv *env, jbyteArray j_buf, jint offset, jint sublen, const char *c_buf) {
    env->SetByteArrayRegion(j_buf, offset, sublen, reinterpret_cast<const jbyte *>(c_buf));
    return 1;
}

extern "C" int get_byte_array_region(JNIEnv *env, jbyteArray buf, jint offset, jint sublen, char *buffer) {
    env->GetByteArrayRegion(buf, offset, sublen, reinterpret_cast<jbyte *>(buffer));
    return 1;
}
