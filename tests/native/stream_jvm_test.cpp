// The stream natives against a scripted connection: the chunking of the
// writes, short and stalled writes, reads into a window, and windows and
// handles that must be refused.
#include "jvm.h"
#include "com_velmar_vfs_JniServerSocketImpl.h"
#include "com_velmar_vfs_JniSocketImpl.h"
#include "com_velmar_vfs_JniStream.h"
#include "talvo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#define STREAM(name) Java_com_velmar_vfs_JniStream_##name
#define SOCKET(name) Java_com_velmar_vfs_JniSocketImpl_##name
#define SERVER(name) Java_com_velmar_vfs_JniServerSocketImpl_##name

using talvo_test::env;

namespace {

// What the scripted operations do and what they saw.  A reply of 0 or more
// takes at most that many bytes; a negative reply is returned as is; with no
// reply left an operation takes everything.
struct script {
    std::vector<int> replies;
    size_t next = 0;
    std::vector<std::string> calls;  // the bytes each operation call was given
    std::vector<size_t> lengths;     // and their lengths
    std::string taken;               // what the writes accepted, in order
    std::string input;               // what the reads hand out
    bool env_was_set = true;

    int reply(connection_t *conn, const char *buf, int len) {
        env_was_set &= conn->jni_env == env();
        calls.emplace_back(buf ? std::string(buf, static_cast<size_t>(len)) : std::string());
        lengths.push_back(static_cast<size_t>(len));
        return std::min(next < replies.size() ? replies[next++] : len, len);
    }
};
script *of(connection_t *conn) { return static_cast<script *>(conn->context); }

int scripted_read(connection_t *conn, char *buf, int len) {
    int n = std::min<int>(of(conn)->reply(conn, nullptr, len), static_cast<int>(of(conn)->input.size()));
    if (n > 0) memcpy(buf, of(conn)->input.data(), static_cast<size_t>(n));
    if (n > 0) of(conn)->input.erase(0, static_cast<size_t>(n));
    return n;
}

int scripted_write(connection_t *conn, const char *buf, int len) {
    int n = of(conn)->reply(conn, buf, len);
    if (n > 0) of(conn)->taken.append(buf, static_cast<size_t>(n));
    return n;
}

const connection_ops_t scripted_ops = {scripted_read,  scripted_read, scripted_write, scripted_write,
                                       [](connection_t *) { return 1; },
                                       [](connection_t *, char *, int) { return -1; }};

// Compares byte strings without printing them whole: they run to 70 KB.
testing::AssertionResult same_bytes(const std::string &actual, const std::string &expected) {
    if (actual == expected) return testing::AssertionSuccess();
    auto at = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first - actual.begin();
    return testing::AssertionFailure() << actual.size() << " bytes for " << expected.size() << ", changed at " << at;
}

// Bytes that tell positions apart.
std::string pattern_bytes(int size, int seed) {
    std::string bytes(static_cast<size_t>(size), '\0');
    for (int i = 0; i < size; i++) bytes[static_cast<size_t>(i)] = static_cast<char>((i * 7 + i / 251 + seed) & 0xff);
    return bytes;
}

class StreamTest : public testing::Test {
protected:
    void SetUp() override {
        conn.fd = 0;  // any open-looking descriptor: the scripted operations never use it
        conn.ops = &scripted_ops;
        conn.context = &s;
    }
    void TearDown() override {
        for (jbyteArray array : arrays) env()->DeleteLocalRef(array);
        EXPECT_FALSE(env()->ExceptionCheck());
        EXPECT_TRUE(s.env_was_set);
    }

    jlong handle() { return static_cast<jlong>(reinterpret_cast<intptr_t>(&conn)); }

    jbyteArray pattern(int size, int seed) {
        std::string bytes = pattern_bytes(size, seed);
        jbyteArray array = env()->NewByteArray(size);
        env()->SetByteArrayRegion(array, 0, size, reinterpret_cast<const jbyte *>(bytes.data()));
        arrays.push_back(array);
        return array;
    }

    jint write(jbyteArray buf, jint offset, jint length) {
        return STREAM(writeNative)(env(), nullptr, handle(), buf, offset, length);
    }
    jint write2(jbyteArray buf1, jint off1, jint len1, jbyteArray buf2, jint off2, jint len2) {
        return STREAM(writeNative2)(env(), nullptr, handle(), buf1, off1, len1, buf2, off2, len2);
    }
    jint read(jbyteArray buf, jint offset, jint length) {
        return STREAM(readNative)(env(), nullptr, handle(), buf, offset, length);
    }

    script s;
    connection_t conn{};
    std::vector<jbyteArray> arrays;
};

TEST_F(StreamTest, WriteNativeSendsChunksOf16384AndContinuesAShortWrite) {
    jbyteArray buf = pattern(40010, 1);
    std::string expected = pattern_bytes(40010, 1).substr(5, 40000);

    EXPECT_EQ(write(buf, 5, 40000), 40000);
    EXPECT_EQ(s.lengths, (std::vector<size_t>{16384, 16384, 7232}));
    EXPECT_TRUE(same_bytes(s.taken, expected));

    s = script{};
    s.replies = {1000};
    EXPECT_EQ(write(buf, 5, 40000), 40000);
    ASSERT_EQ(s.lengths, (std::vector<size_t>{16384, 16384, 16384, 6232}));
    EXPECT_TRUE(same_bytes(s.calls[1].substr(0, 16384), expected.substr(1000, 16384)));
    EXPECT_TRUE(same_bytes(s.taken, expected));

    s = script{};
    EXPECT_EQ(write(buf, 0, 0), 0);
    EXPECT_TRUE(s.calls.empty());
}

TEST_F(StreamTest, WriteNative2PacksTheTailOfTheFirstArrayWithTheSecond) {
    struct example {
        int len1, len2;
        std::vector<size_t> chunks;
    };
    const example examples[] = {
        {10, 100, {110}}, {40000, 10, {32768, 7242}}, {100, 70000, {32768, 32768, 4564}},
        {32768, 0, {32768}}, {32768, 5, {32768, 5}}, {0, 0, {}},
    };
    for (const example &e : examples) {
        SCOPED_TRACE(testing::Message() << e.len1 << " + " << e.len2);
        s = script{};
        EXPECT_EQ(write2(pattern(e.len1 + 3, 11), 3, e.len1, pattern(e.len2 + 7, 97), 7, e.len2), e.len1 + e.len2);
        EXPECT_EQ(s.lengths, e.chunks);
        std::string expected = pattern_bytes(e.len1 + 3, 11).substr(3) + pattern_bytes(e.len2 + 7, 97).substr(7);
        EXPECT_TRUE(same_bytes(s.taken, expected));
    }
}

TEST_F(StreamTest, AShortWriteAnywhereInWriteNative2LosesAndRepeatsNothing) {
    jbyteArray buf1 = pattern(100, 3);
    jbyteArray buf2 = pattern(70000, 4);
    std::string expected = pattern_bytes(100, 3) + pattern_bytes(70000, 4);
    // Short in the first chunk (tail of buf1 plus head of buf2), then in a
    // chunk made of buf2 alone, then everything.
    s.replies = {50, 32768, 1000, 7};
    EXPECT_EQ(write2(buf1, 0, 100, buf2, 0, 70000), 70100);
    EXPECT_TRUE(same_bytes(s.taken, expected));
    ASSERT_GE(s.calls.size(), 4u);
    EXPECT_TRUE(same_bytes(s.calls[1], expected.substr(50, 32768)));
    EXPECT_TRUE(same_bytes(s.calls[3], expected.substr(50 + 32768 + 1000, 32768)));

    // A short write while the first array alone still fills chunks.
    s = script{};
    s.replies = {1};
    EXPECT_EQ(write2(pattern(40000, 5), 0, 40000, buf2, 0, 10), 40010);
    EXPECT_EQ(s.lengths, (std::vector<size_t>{32768, 32768, 7241}));
    EXPECT_TRUE(same_bytes(s.taken, pattern_bytes(40000, 5) + pattern_bytes(10, 4)));
}

TEST_F(StreamTest, AWriteThatTakesNothingOrFailsEndsTheCall) {
    jbyteArray buf = pattern(40000, 6);
    struct stall {
        bool two_arrays;
        std::vector<int> replies;
        int result;
        size_t calls;
    };
    const stall cases[] = {{false, {16384, 0}, -1, 2},
                           {true, {0}, -1, 1},
                           {false, {100, TALVO_PEER_GONE}, TALVO_PEER_GONE, 2},
                           {true, {100, TALVO_TIMEOUT}, TALVO_TIMEOUT, 2}};
    for (const stall &c : cases) {
        s = script{};
        s.replies = c.replies;
        EXPECT_EQ(c.two_arrays ? write2(buf, 0, 40000, buf, 0, 10) : write(buf, 0, 40000), c.result);
        EXPECT_EQ(s.calls.size(), c.calls);
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
    EXPECT_TRUE(same_bytes(got, around.substr(0, 7) + pattern_bytes(20000, 9) + around.substr(20007)));
}

TEST_F(StreamTest, BadWindowsClosedRecordsAndNullHandlesTouchNothing) {
    jbyteArray buf = pattern(100, 10);
    s.input = "unread";
    struct bad {
        jbyteArray array;
        jint offset, length;
    };
    const bad windows[] = {
        {nullptr, 0, 0}, {buf, -1, 10}, {buf, 0, -1}, {buf, 91, 10}, {buf, 101, 0}, {buf, 0x7fffffff, 0x7fffffff},
    };
    for (const bad &w : windows) {
        SCOPED_TRACE(testing::Message() << w.offset << ", " << w.length);
        EXPECT_EQ(read(w.array, w.offset, w.length), -1);
        EXPECT_EQ(STREAM(readNonBlockNative)(env(), nullptr, handle(), w.array, w.offset, w.length), -1);
        // Nothing to send is no failure; a null array always is.
        EXPECT_EQ(write(w.array, w.offset, w.length), w.array != nullptr && w.length <= 0 ? 0 : -1);
        EXPECT_EQ(write2(w.array, w.offset, w.length, buf, 0, 1), -1);
        EXPECT_EQ(write2(buf, 0, 1, w.array, w.offset, w.length), -1);
        EXPECT_FALSE(env()->ExceptionCheck());
    }
    EXPECT_TRUE(s.calls.empty());
    EXPECT_EQ(s.input, "unread");

    conn.fd = -1;
    EXPECT_EQ(read(buf, 0, 1), -1);
    EXPECT_EQ(write(buf, 0, 1), -1);
    EXPECT_EQ(write2(buf, 0, 0, buf, 0, 0), -1);
    EXPECT_EQ(STREAM(flushNative)(env(), nullptr, handle()), 0);
    EXPECT_TRUE(s.calls.empty());
}

// Handle 0 in every stream, connection and listener native, and a zero
// record to accept into: the refusal, at once and with no exception.
TEST(HandleZero, EveryNativeRefusesIt) {
    JNIEnv *e = env();
    jbyteArray buf = e->NewByteArray(20);
    jstring loopback = e->NewStringUTF("127.0.0.1");
    jlong ss = SERVER(bindPort)(e, nullptr, loopback, 0, 0), conn = SOCKET(nativeAllocate)(e, nullptr);
    const std::tuple<const char *, jlong, std::function<jlong()>> calls[] = {
        {"readNative", -1, [&] { return STREAM(readNative)(e, nullptr, 0, buf, 0, 1); }},
        {"readNonBlockNative", -1, [&] { return STREAM(readNonBlockNative)(e, nullptr, 0, buf, 0, 1); }},
        {"writeNative", -1, [&] { return STREAM(writeNative)(e, nullptr, 0, buf, 0, 1); }},
        {"writeNative2", -1, [&] { return STREAM(writeNative2)(e, nullptr, 0, buf, 0, 1, buf, 0, 1); }},
        {"flushNative", -1, [&] { return STREAM(flushNative)(e, nullptr, 0); }},
        {"getNativeFd", -1, [&] { return SOCKET(getNativeFd)(e, nullptr, 0); }},
        {"getRemoteIP", 0, [&] { return SOCKET(getRemoteIP)(e, nullptr, 0, buf, 0, 20); }},
        {"getLocalIP", 0, [&] { return SOCKET(getLocalIP)(e, nullptr, 0, buf, 0, 20); }},
        {"getClientCertificate", -1, [&] { return SOCKET(getClientCertificate)(e, nullptr, 0, buf, 0, 20); }},
        {"getRemotePort", 0, [&] { return SOCKET(getRemotePort)(e, nullptr, 0); }},
        {"getLocalPort", 0, [&] { return SOCKET(getLocalPort)(e, nullptr, 0); }},
        {"nativeReadNonBlock", 0, [&] { return SOCKET(nativeReadNonBlock)(e, nullptr, 0, 0); }},
        {"isSecure", 0, [&] { return SOCKET(isSecure)(e, nullptr, 0); }},
        {"getCipher", 0, [&] { return jlong{SOCKET(getCipher)(e, nullptr, 0) != nullptr}; }},
        {"getCipherBits", 0, [&] { return SOCKET(getCipherBits)(e, nullptr, 0); }},
        {"nativeClose", 0, [&] { return SOCKET(nativeClose)(e, nullptr, 0), 0; }},
        {"nativeFree", 0, [&] { return SOCKET(nativeFree)(e, nullptr, 0), 0; }},
        {"nativeAccept", 0, [&] { return SERVER(nativeAccept)(e, nullptr, 0, conn); }},
        {"nativeAccept into 0", 0, [&] { return SERVER(nativeAccept)(e, nullptr, ss, 0); }},
        {"server getLocalPort", 0, [&] { return SERVER(getLocalPort)(e, nullptr, 0); }},
        {"set time-outs", 0, [&] {
             SERVER(nativeSetConnectionReadTimeout)(e, nullptr, 0, 1);
             return SERVER(nativeSetConnectionWriteTimeout)(e, nullptr, 0, 1), 0;
         }},
        {"closeNative", 0, [&] { return SERVER(closeNative)(e, nullptr, 0); }},
    };
    for (const auto &[name, refusal, call] : calls) {
        EXPECT_EQ(call(), refusal) << name;
        EXPECT_FALSE(e->ExceptionCheck()) << name;
    }
    SOCKET(nativeFree)(e, nullptr, conn);
    SERVER(closeNative)(e, nullptr, ss);
    e->DeleteLocalRef(loopback);
    e->DeleteLocalRef(buf);
}

}  // namespace
