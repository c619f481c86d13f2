// The natives against a real JVM: the stream natives on a scripted connection (chunking,
// short and stalled writes, reads into a window, refusals), handle 0 everywhere, exceptions.
#include "com_velmar_vfs_JniServerSocketImpl.h"
#include "com_velmar_vfs_JniSocketImpl.h"
#include "com_velmar_vfs_JniStream.h"
#include "talvo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#define STREAM(name) Java_com_velmar_vfs_JniStream_##name
#define SOCKET(name) Java_com_velmar_vfs_JniSocketImpl_##name
#define SERVER(name) Java_com_velmar_vfs_JniServerSocketImpl_##name

namespace talvo_test { JNIEnv *env(); }  // jvm_main.cpp's JVM
using talvo_test::env;

namespace {

// A reply of 0 or more takes at most that many bytes, a negative one is
// returned as is; with no reply left an operation takes everything.
struct script {
    std::vector<int> replies;
    size_t next = 0;
    std::vector<size_t> lengths;  // what each call was offered
    std::string taken, input;     // what the writes accepted; what the reads hand out
    bool env_was_set = true;

    int reply(connection_t *conn, int len) {
        env_was_set &= conn->jni_env == env();
        lengths.push_back(static_cast<size_t>(len));
        return std::min(next < replies.size() ? replies[next++] : len, len);
    }
};
script *of(connection_t *conn) { return static_cast<script *>(conn->context); }

int scripted_read(connection_t *conn, char *buf, int len) {
    std::string &input = of(conn)->input;
    int n = std::min(of(conn)->reply(conn, len), static_cast<int>(input.size()));
    if (n > 0) input.erase(0, input.copy(buf, static_cast<size_t>(n)));
    return n;
}

int scripted_write(connection_t *conn, const char *buf, int len) {
    int n = of(conn)->reply(conn, len);
    if (n > 0) of(conn)->taken.append(buf, static_cast<size_t>(n));
    return n;
}

const connection_ops_t scripted_ops = {scripted_read,  scripted_read, scripted_write, scripted_write,
                                       [](connection_t *) { return 1; },
                                       [](connection_t *, char *, int) { return -1; }};

// Bytes that tell positions apart.
std::string pattern_bytes(int size, int seed) {
    std::string bytes(static_cast<size_t>(size), '\0');
    for (int i = 0; i < size; i++) bytes[static_cast<size_t>(i)] = static_cast<char>((i * 7 + i / 251 + seed) & 0xff);
    return bytes;
}

class StreamTest : public testing::Test {
protected:
    StreamTest() { conn.fd = 0; conn.ops = &scripted_ops; conn.context = &s; }  // fd 0 looks open, is never used
    void TearDown() override {
        for (jbyteArray array : arrays) env()->DeleteLocalRef(array);
        EXPECT_FALSE(env()->ExceptionCheck());
        EXPECT_TRUE(s.env_was_set);
    }

    jbyteArray pattern(int size, int seed) {
        std::string bytes = pattern_bytes(size, seed);
        jbyteArray array = arrays.emplace_back(env()->NewByteArray(size));
        env()->SetByteArrayRegion(array, 0, size, reinterpret_cast<const jbyte *>(bytes.data()));
        return array;
    }
    jint write(jbyteArray buf, jint offset, jint length) {
        return STREAM(writeNative)(env(), nullptr, handle, buf, offset, length);
    }
    jint write2(jbyteArray buf1, jint off1, jint len1, jbyteArray buf2, jint off2, jint len2) {
        return STREAM(writeNative2)(env(), nullptr, handle, buf1, off1, len1, buf2, off2, len2);
    }
    jint read(jbyteArray buf, jint offset, jint length) {
        return STREAM(readNative)(env(), nullptr, handle, buf, offset, length);
    }

    script s;
    connection_t conn{};
    jlong handle = static_cast<jlong>(reinterpret_cast<intptr_t>(&conn));
    std::vector<jbyteArray> arrays;
};

// writeNative (len2 < 0) sends chunks of 16384, writeNative2 packs the tail of
// its first array with the second into chunks of 32768.  A short write goes
// on from the first byte not taken; one that takes nothing or fails ends the
// call with its code.  The bytes taken are always the arrays' windows in order.
TEST_F(StreamTest, WritesChunkResumeShortWritesAndStopOnAStall) {
    struct example { int len1, len2; std::vector<int> replies; int result; std::vector<size_t> chunks; };
    const example examples[] = {
        {40000, -1, {}, 40000, {16384, 16384, 7232}},
        {40000, -1, {1000}, 40000, {16384, 16384, 16384, 6232}},
        {0, -1, {}, 0, {}},
        {10, 100, {}, 110, {110}},
        {100, 70000, {}, 70100, {32768, 32768, 4564}},
        {32768, 0, {}, 32768, {32768}},
        {32768, 5, {}, 32773, {32768, 5}},
        {0, 0, {}, 0, {}},
        // short in the tail of the first array plus the second, then in the second alone
        {100, 70000, {50, 32768, 1000, 7}, 70100, {32768, 32768, 32768, 32768, 32768, 3507}},
        {40000, 10, {1}, 40010, {32768, 32768, 7241}},  // short while the first array alone fills chunks
        {40000, -1, {16384, 0}, -1, {16384, 16384}},
        {40000, 10, {0}, -1, {32768}},
        {40000, -1, {100, TALVO_PEER_GONE}, TALVO_PEER_GONE, {16384, 16384}},
        {40000, 10, {100, TALVO_TIMEOUT}, TALVO_TIMEOUT, {32768, 32768}},
    };
    for (const example &e : examples) {
        SCOPED_TRACE(testing::Message() << e.len1 << " + " << e.len2 << ", " << e.replies.size() << " replies");
        s = script{};
        s.replies = e.replies;
        int len2 = std::max(e.len2, 0);
        std::string expected = pattern_bytes(e.len1 + 3, e.len1).substr(3) + pattern_bytes(len2 + 7, len2).substr(7);
        jbyteArray buf1 = pattern(e.len1 + 3, e.len1), buf2 = pattern(len2 + 7, len2);
        EXPECT_EQ(e.len2 < 0 ? write(buf1, 3, e.len1) : write2(buf1, 3, e.len1, buf2, 7, len2), e.result);
        EXPECT_EQ(s.lengths, e.chunks);
        EXPECT_TRUE(s.taken == expected.substr(0, e.result < 0 ? s.taken.size() : expected.size()));
    }
}

TEST_F(StreamTest, ReadsStoreInTheWindowOnlyAndPassTheEndAndFailuresThrough) {
    jbyteArray buf = pattern(40000, 8);
    s.input = pattern_bytes(20000, 9);
    s.replies = {16384, 20000, 0, TALVO_TIMEOUT};
    EXPECT_EQ(read(buf, 7, 39993), 16384);
    EXPECT_EQ(read(buf, 7 + 16384, 20000), 20000 - 16384);
    EXPECT_EQ(read(buf, 0, 10), 0);
    EXPECT_EQ(read(buf, 0, 10), TALVO_TIMEOUT);
    std::string got(40000, '\0');
    env()->GetByteArrayRegion(buf, 0, 40000, reinterpret_cast<jbyte *>(got.data()));
    std::string around = pattern_bytes(40000, 8);
    EXPECT_TRUE(got == around.substr(0, 7) + pattern_bytes(20000, 9) + around.substr(20007));
}

TEST_F(StreamTest, BadWindowsAndClosedRecordsTouchNothing) {
    jbyteArray buf = pattern(100, 10);
    s.input = "unread";
    const std::tuple<jbyteArray, jint, jint> windows[] = {
        {nullptr, 0, 0}, {buf, -1, 10}, {buf, 0, -1}, {buf, 91, 10}, {buf, 101, 0}, {buf, 0x7fffffff, 0x7fffffff},
    };
    for (auto [array, offset, length] : windows) {
        SCOPED_TRACE(testing::Message() << offset << ", " << length);
        EXPECT_EQ(read(array, offset, length), -1);
        EXPECT_EQ(STREAM(readNonBlockNative)(env(), nullptr, handle, array, offset, length), -1);
        // Nothing to send is no failure; a null array always is.
        EXPECT_EQ(write(array, offset, length), array != nullptr && length <= 0 ? 0 : -1);
        EXPECT_EQ(write2(array, offset, length, buf, 0, 1), -1);
        EXPECT_EQ(write2(buf, 0, 1, array, offset, length), -1);
        EXPECT_FALSE(env()->ExceptionCheck());
    }
    conn.fd = -1;
    EXPECT_EQ(read(buf, 0, 1), -1);
    EXPECT_EQ(write(buf, 0, 1), -1);
    EXPECT_EQ(write2(buf, 0, 0, buf, 0, 0), -1);
    EXPECT_EQ(STREAM(flushNative)(env(), nullptr, handle), 0);
    EXPECT_TRUE(s.lengths.empty());
    EXPECT_EQ(s.input, "unread");
}

// Handle 0 in every stream, connection and listener native, and a zero
// record to accept into: the refusal, at once and with no exception.
TEST(HandleZero, EveryNativeRefusesIt) {
    JNIEnv *e = env();
    jbyteArray buf = e->NewByteArray(20);
    jstring loopback = e->NewStringUTF("127.0.0.1");
    jlong ss = SERVER(bindPort)(e, nullptr, loopback, 0, 0), conn = SOCKET(nativeAllocate)(e, nullptr);
    SERVER(nativeSetConnectionReadTimeout)(e, nullptr, 0, 1);
    SERVER(nativeSetConnectionWriteTimeout)(e, nullptr, 0, 1);
    SOCKET(nativeClose)(e, nullptr, 0);
    SOCKET(nativeFree)(e, nullptr, 0);
    const jlong minus_one[] = {
        STREAM(readNative)(e, nullptr, 0, buf, 0, 1),      STREAM(readNonBlockNative)(e, nullptr, 0, buf, 0, 1),
        STREAM(writeNative)(e, nullptr, 0, buf, 0, 1),     STREAM(writeNative2)(e, nullptr, 0, buf, 0, 1, buf, 0, 1),
        STREAM(flushNative)(e, nullptr, 0),                SOCKET(getNativeFd)(e, nullptr, 0),
        SOCKET(getClientCertificate)(e, nullptr, 0, buf, 0, 20)};
    const jlong zero[] = {
        SOCKET(getRemoteIP)(e, nullptr, 0, buf, 0, 20), SOCKET(getLocalIP)(e, nullptr, 0, buf, 0, 20),
        SOCKET(getRemotePort)(e, nullptr, 0),           SOCKET(getLocalPort)(e, nullptr, 0),
        SOCKET(nativeReadNonBlock)(e, nullptr, 0, 0),   SOCKET(isSecure)(e, nullptr, 0),
        SOCKET(getCipher)(e, nullptr, 0) != nullptr,    SOCKET(getCipherBits)(e, nullptr, 0),
        SERVER(nativeAccept)(e, nullptr, 0, conn),      SERVER(nativeAccept)(e, nullptr, ss, 0),
        SERVER(getLocalPort)(e, nullptr, 0),            SERVER(closeNative)(e, nullptr, 0)};
    for (size_t i = 0; i < std::size(minus_one); i++) EXPECT_EQ(minus_one[i], -1) << "entry " << i;
    for (size_t i = 0; i < std::size(zero); i++) EXPECT_EQ(zero[i], 0) << "entry " << i;
    EXPECT_FALSE(e->ExceptionCheck());
    SOCKET(nativeFree)(e, nullptr, conn);
    SERVER(closeNative)(e, nullptr, ss);
    e->DeleteLocalRef(loopback);
    e->DeleteLocalRef(buf);
}

// The pending exception as Throwable.toString() gives it ("class.Name" or
// "class.Name: message"), or "" if none; clears it.
std::string take_exception() {
    jthrowable thrown = env()->ExceptionOccurred();
    if (thrown == nullptr) return "";
    env()->ExceptionClear();
    jclass throwable = env()->FindClass("java/lang/Throwable");
    jmethodID to_string = env()->GetMethodID(throwable, "toString", "()Ljava/lang/String;");
    auto text = static_cast<jstring>(env()->CallObjectMethod(thrown, to_string));
    if (env()->ExceptionCheck()) env()->ExceptionClear();
    const char *chars = env()->GetStringUTFChars(text, nullptr);
    std::string whole = chars;
    env()->ReleaseStringUTFChars(text, chars);
    for (jobject ref : {jobject{text}, jobject{throwable}, jobject{thrown}}) env()->DeleteLocalRef(ref);
    return whole;
}

// The named class with the message cut at 8191 bytes; where nothing can be
// raised (a missing class, one already pending, no env) the message goes to
// standard error, and what was pending stays.
TEST(Exceptions, ThrowsTheNamedClassOrWritesTheMessageToStandardError) {
    std::string path(9000, 'p');
    talvo_printf_exception(env(), "java/net/SocketException", "'%s' permission denied", path.c_str());
    EXPECT_EQ(take_exception(), "java.net.SocketException: '" + path.substr(0, 8190));

    testing::internal::CaptureStderr();
    talvo_throw_exception(env(), "no/such/Class", "lost");
    EXPECT_EQ(take_exception().rfind("java.lang.NoClassDefFoundError", 0), 0u);
    talvo_throw_exception(env(), "java/lang/NullPointerException", "first");
    talvo_throw_exception(env(), "java/io/IOException", "second");
    talvo_printf_exception(env(), "java/io/IOException", "third %d", 3);
    talvo_throw_exception(nullptr, "java/io/IOException", "no env");
    talvo_printf_exception(nullptr, "java/io/IOException", "%s-%d", "no env", 2);
    fflush(stderr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "lost\nsecond\nthird 3\nno env\nno env-2\n");
    EXPECT_EQ(take_exception(), "java.lang.NullPointerException: first");
    EXPECT_FALSE(env()->ExceptionCheck());
}

}  // namespace
