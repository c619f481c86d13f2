// The natives against a real JVM: the stream natives on a scripted connection (chunking,
// short and stalled writes, reads into a window, refusals), every entry point through
// an env that counts what it takes of the VM, exceptions.
#include "com_velmar_server_boot_TalvoBoot.h"
#include "com_velmar_server_port_JniSelectManager.h"
#include "com_velmar_util_VelmarSystem.h"
#include "com_velmar_vfs_JniFilePathImpl.h"
#include "com_velmar_vfs_JniFileStream.h"
#include "com_velmar_vfs_JniServerSocketImpl.h"
#include "com_velmar_vfs_JniSocketImpl.h"
#include "com_velmar_vfs_JniStream.h"
#include "com_velmar_vfs_Syslog.h"
#include "sockets.h"

#include <fcntl.h>
#include <pwd.h>
#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

// A call of an entry point with the env `e` and no object.
#define NATIVE(class_, name, ...) Java_com_velmar_##class_##_##name(e, nullptr __VA_OPT__(, ) __VA_ARGS__)
#define STREAM(...) NATIVE(vfs_JniStream, __VA_ARGS__)
#define SOCKET(...) NATIVE(vfs_JniSocketImpl, __VA_ARGS__)
#define SERVER(...) NATIVE(vfs_JniServerSocketImpl, __VA_ARGS__)
#define SELECT(...) NATIVE(server_port_JniSelectManager, __VA_ARGS__)
#define PATHS(...) NATIVE(vfs_JniFilePathImpl, __VA_ARGS__)
#define FILES(...) NATIVE(vfs_JniFileStream, __VA_ARGS__)

namespace talvo_test { JNIEnv *env(); }  // jvm_main.cpp's JVM
using namespace talvo_test;

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

int scripted_certificate(connection_t *, char *buf, int len) {
    int n = std::min(len, 4);
    return memcpy(buf, "cert", static_cast<size_t>(n)), n;
}

const connection_ops_t scripted_ops = {scripted_read,  scripted_read, scripted_write, scripted_write,
                                       [](connection_t *) { return 1; }, scripted_certificate};

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
        return STREAM(writeNative, handle, buf, offset, length);
    }
    jint write2(jbyteArray buf1, jint off1, jint len1, jbyteArray buf2, jint off2, jint len2) {
        return STREAM(writeNative2, handle, buf1, off1, len1, buf2, off2, len2);
    }
    jint read(jbyteArray buf, jint offset, jint length) {
        return STREAM(readNative, handle, buf, offset, length);
    }

    JNIEnv *e = env();
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
        EXPECT_EQ(STREAM(readNonBlockNative, handle, array, offset, length), -1);
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
    EXPECT_EQ(STREAM(flushNative, handle), 0);
    EXPECT_TRUE(s.lengths.empty());
    EXPECT_EQ(s.input, "unread");
}

// ---------------------------------------------------------------- JNI leaks

// What the entry points hold of the VM by kind: a get or a new counts +1, its
// release or delete -1.  Local references: the calls of this library that make them.
std::map<std::string, int> held;
const JNINativeInterface_ *real;  // the VM's own table, which the counting one calls
bool commits(jint mode) { return mode == JNI_COMMIT; }  // copies back and keeps the elements
bool commits(const void *) { return false; }

#define TAKES(f, kind) \
    t.f = [](JNIEnv *e, auto... a) { auto got = real->f(e, a...); return held[kind] += got != nullptr, got; }
#define GIVES(f, kind) \
    t.f = [](JNIEnv *e, auto o, auto... a) { held[kind] -= o != nullptr && !(commits(a) || ...); real->f(e, o, a...); }
#define PAIR(get, release, kind) TAKES(get, kind); GIVES(release, kind)
#define ELEMENTS(T) PAIR(Get##T##ArrayElements, Release##T##ArrayElements, "array elements")

JNINativeInterface_ counting_table() {
    JNINativeInterface_ t = *real;
    PAIR(GetStringUTFChars, ReleaseStringUTFChars, "UTF chars"); PAIR(GetStringChars, ReleaseStringChars, "chars");
    PAIR(GetStringCritical, ReleaseStringCritical, "critical strings");
    PAIR(GetPrimitiveArrayCritical, ReleasePrimitiveArrayCritical, "critical arrays");
    ELEMENTS(Boolean); ELEMENTS(Byte); ELEMENTS(Char); ELEMENTS(Short); ELEMENTS(Int); ELEMENTS(Long);
    ELEMENTS(Float); ELEMENTS(Double);
    PAIR(NewGlobalRef, DeleteGlobalRef, "global refs"); PAIR(NewWeakGlobalRef, DeleteWeakGlobalRef, "weak global refs");
    PAIR(NewLocalRef, DeleteLocalRef, "local refs"); TAKES(FindClass, "local refs"); TAKES(NewObjectV, "local refs");
    TAKES(NewStringUTF, "local refs"); TAKES(NewByteArray, "local refs"); TAKES(GetObjectArrayElement, "local refs");
    return t;
}

jbyteArray bytes(JNIEnv *e, const std::string &text) {
    jbyteArray array = e->NewByteArray(static_cast<jsize>(text.size()));
    e->SetByteArrayRegion(array, 0, static_cast<jsize>(text.size()), reinterpret_cast<const jbyte *>(text.data()));
    return array;
}

// A record that claims a cipher and, through scripted_ops, a certificate.
connection_t secure = [] {
    connection_t c{};
    c.ops = &scripted_ops, c.fd = -1, c.ssl_cipher = const_cast<char *>("AES"), c.sock = c.ssl_cipher, c.ssl_bits = 128;
    return c;
}();

// What the rows work on: a directory with a file of 64 bytes, a listener with a
// connection accepted from `peer`, a select manager.  The failure paths get a
// copy with refused ones: handles 0, descriptors -1, missing paths, no address,
// no account, no message, no argument vector.
struct world {
    JNIEnv *e = env();
    std::string dir = [] { char t[] = "/tmp/jni_jvm_test.XXXXXX"; return std::string(mkdtemp(t)); }();
    std::string link_path = dir + "/link";
    jint n = static_cast<jint>(link_path.size());  // the length of every path but the directory's
    jbyteArray buf = bytes(e, std::string(64, 'b')), file = bytes(e, dir + "/file"), out = bytes(e, dir + "/outf"),
               directory = bytes(e, dir), link = bytes(e, link_path), missing = bytes(e, dir + "/none"),
               unwritable = bytes(e, dir + "/n/fi");
    jstring loopback = e->NewStringUTF("127.0.0.1"), user = e->NewStringUTF(getpwuid(getuid())->pw_name),
            message = e->NewStringUTF("no address, no account"),
            pwd = e->NewStringUTF(std::filesystem::current_path().c_str());
    jobjectArray argv = e->NewObjectArray(1, e->GetObjectClass(pwd), e->NewStringUTF("/bin/true")),
                 envp = e->NewObjectArray(1, e->GetObjectClass(pwd), message);
    int fd = (std::ofstream(dir + "/file") << std::string(64, 'f'), open((dir + "/file").c_str(), O_RDONLY));
    int out_fd = open((dir + "/outf").c_str(), O_WRONLY | O_CREAT, 0600);
    jlong ss = SERVER(bindPort, loopback, 0, 0), conn = SOCKET(nativeAllocate), sel = SELECT(createNative);
    jlong tls = static_cast<jlong>(reinterpret_cast<intptr_t>(&secure));
    int peer = client();

    world() {
        SELECT(initNative, sel);
        EXPECT_TRUE(SERVER(nativeAccept, ss, conn));
    }
    world refused() const {
        world w = *this;
        w.conn = w.ss = w.sel = w.tls = 0, w.fd = w.out_fd = -1, w.file = w.directory = missing;
        w.out = w.link = unwritable, w.loopback = w.user = message, w.message = nullptr, w.argv = nullptr;
        return w;
    }
    void close_all() {
        managed(sel), SOCKET(nativeClose, conn), SOCKET(nativeFree, conn), SERVER(closeNative, ss);
        close(fd), close(out_fd), close(peer), std::filesystem::remove_all(dir);
    }
    int client() {  // connected to the listener
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        getsockname(reinterpret_cast<server_socket_t *>(ss)->fd, reinterpret_cast<sockaddr *>(&address), &length);
        int client = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), length), 0);
        return client;
    }
    int conn_fd() { return SOCKET(getNativeFd, conn); }
    bool fed() { return send(peer, "ping", 4, 0) == 4 && (conn == 0 || wait_readable(conn_fd())); }
    bool accepts() {  // into a new record, then closed and freed
        jlong c = SOCKET(nativeAllocate);
        int other = ss != 0 ? client() : -1;
        bool accepted = SERVER(nativeAccept, ss, c);
        return SOCKET(nativeClose, c), SOCKET(nativeFree, c), close(other), accepted;
    }
    bool listened(jlong listener) { return SERVER(closeNative, listener) == 0 && listener != 0; }
    bool managed(jlong m) {
        return SELECT(initNative, m), SELECT(closeNative, m), tuk_free(reinterpret_cast<void *>(m)), m != 0;
    }
    bool dropped(jobject local) { return e->DeleteLocalRef(local), local != nullptr; }
    bool closed(int file) { return file >= 0 && close(file) == 0; }
};

// One row per entry point: a call, made on the world for the success path and
// on the refused world for the failure path, and the result that tells a
// refusal (`any`: the result does not tell).
constexpr jlong any = INT64_MIN;
struct row { const char *name; jlong refusal; jlong (*call)(world &); };
#define ROW(name, refusal, ...) \
    {name, refusal, [](world &w) -> jlong { [[maybe_unused]] JNIEnv *e = w.e; return __VA_ARGS__; }}

const row rows[] = {
    ROW("bindPort", 0, w.listened(SERVER(bindPort, w.loopback, 0, 0))),
    ROW("nativeSetConnectionReadTimeout", any, (SERVER(nativeSetConnectionReadTimeout, w.ss, 1000), 0)),
    ROW("nativeSetConnectionWriteTimeout", any, (SERVER(nativeSetConnectionWriteTimeout, w.ss, 1000), 0)),
    ROW("nativeAccept", 0, w.accepts()),
    ROW("listener getLocalPort", any, SERVER(getLocalPort, w.ss)),
    ROW("listener closeNative", 0, w.listened(w.ss ? SERVER(bindPort, w.loopback, 0, 0) : 0)),
    ROW("nativeAllocate", any, (SOCKET(nativeFree, SOCKET(nativeAllocate)), 0)),
    ROW("nativeClose", 0, w.accepts()),
    ROW("nativeFree", any, (SOCKET(nativeFree, w.conn ? SOCKET(nativeAllocate) : 0), 0)),
    ROW("isSecure", 0, SOCKET(isSecure, w.tls)),
    ROW("getCipher", 0, w.dropped(SOCKET(getCipher, w.tls))),
    ROW("getCipherBits", 0, SOCKET(getCipherBits, w.tls)),
    ROW("nativeReadNonBlock", 0, (w.fed(), SOCKET(nativeReadNonBlock, w.conn, 1000))),
    ROW("getRemoteIP", 0, SOCKET(getRemoteIP, w.conn, w.buf, 0, 64)),
    ROW("getRemotePort", 0, SOCKET(getRemotePort, w.conn)),
    ROW("getLocalIP", 0, SOCKET(getLocalIP, w.conn, w.buf, 0, 64)),
    ROW("getLocalPort", 0, SOCKET(getLocalPort, w.conn)),
    ROW("getClientCertificate", -1, SOCKET(getClientCertificate, w.tls, w.buf, 0, 64)),
    ROW("getNativeFd", -1, SOCKET(getNativeFd, w.conn)),
    ROW("readNative", -1, (w.fed(), STREAM(readNative, w.conn, w.buf, 0, 64))),
    ROW("readNonBlockNative", -1, (w.fed(), STREAM(readNonBlockNative, w.conn, w.buf, 0, 64))),
    ROW("writeNative", -1, STREAM(writeNative, w.conn, w.buf, 0, 64)),
    ROW("writeNative2", -1, STREAM(writeNative2, w.conn, w.buf, 0, 64, w.buf, 1, 63)),
    ROW("flushNative", -1, STREAM(flushNative, w.conn)),
    ROW("sendFileNative", -1, STREAM(sendFileNative, w.conn, w.fd, 0, 64)),
    ROW("tryReadNative", -1, (w.fed(), STREAM(tryReadNative, w.conn, w.buf, 0, 64))),
    ROW("tryWriteNative", -1, STREAM(tryWriteNative, w.conn, w.buf, 0, 64)),
    ROW("tryWriteNative2", -1, STREAM(tryWriteNative2, w.conn, w.buf, 0, 64, w.buf, 1, 63)),
    ROW("trySendFileNative", -1, STREAM(trySendFileNative, w.conn, w.fd, 0, 64)),
    ROW("createNative", any, w.managed(SELECT(createNative))),
    ROW("initNative", any, (SELECT(initNative, w.sel), 0)),
    ROW("addNative", -2, SELECT(addNative, w.sel, 0) + SELECT(removeNative, w.sel, 0)),
    ROW("removeNative", -1, SELECT(removeNative, w.sel, 0)),
    ROW("selectNative", -1, (w.fed(), SELECT(addNative, w.sel, w.conn_fd()), SELECT(selectNative, w.sel, 1000))),
    ROW("select closeNative", 0, w.managed(w.sel ? SELECT(createNative) : 0)),
    ROW("nativeIsEnabled", any, PATHS(nativeIsEnabled)),
    ROW("nativeGetLastModified", -1, PATHS(nativeGetLastModified, w.file, w.n)),
    ROW("nativeGetLength", -1, PATHS(nativeGetLength, w.file, w.n)),
    ROW("nativeCanRead", 0, PATHS(nativeCanRead, w.file)),
    ROW("nativeStat", 0, w.dropped(PATHS(nativeStat, w.file, JNI_FALSE))),
    ROW("nativeLink", 0, PATHS(nativeLink, w.link, w.file, JNI_FALSE) && unlink(w.link_path.c_str()) == 0),
    ROW("nativeIsDirectory", 0, PATHS(nativeIsDirectory, w.directory)),
    ROW("nativeChmod", any, (PATHS(nativeChmod, w.file, w.n, 0644), 0)),
    ROW("nativeOpenRead", 0, w.closed(PATHS(nativeOpenRead, w.file, w.n))),
    ROW("nativeOpenWrite", 0, w.closed(PATHS(nativeOpenWrite, w.out, w.n, JNI_TRUE))),
    ROW("nativeRead", -1, (FILES(nativeSeekStart, w.fd, 0), FILES(nativeRead, w.fd, w.buf, 0, 64))),
    ROW("nativeWrite", -1, FILES(nativeWrite, w.out_fd, w.buf, 0, 64)),
    ROW("nativeSkip", 0, FILES(nativeSkip, w.fd, 1)),
    ROW("nativeClose", -1, FILES(nativeClose, dup(w.fd))),
    ROW("nativeFlushToDisk", -1, FILES(nativeFlushToDisk, w.out_fd)),
    ROW("nativeSeekStart", -1, FILES(nativeSeekStart, w.fd, 10)),
    ROW("nativeSeekEnd", -1, FILES(nativeSeekEnd, w.fd, 0)),
    // The account that runs the test, with no group: nothing changes.
    ROW("setUserNative", -1, NATIVE(util_VelmarSystem, setUserNative, w.user, nullptr)),
    // /bin/true as a daemon from the current directory, which the launch enters.
    ROW("execDaemon", any, NATIVE(server_boot_TalvoBoot, execDaemon, w.argv, w.envp, w.pwd)),
    ROW("nativeOpenSyslog", any, (NATIVE(vfs_Syslog, nativeOpenSyslog), 0)),
    ROW("nativeSyslog", any, (NATIVE(vfs_Syslog, nativeSyslog, LOG_DEBUG, w.message), 0)),
};

// Each path runs once to load classes and fill caches, then once counted: it
// must give back all it took.
TEST(JniLeaks, EveryEntryPointGivesBackWhatItTakes) {
    world live, refused = live.refused();
    real = env()->functions;
    static const JNINativeInterface_ counting = counting_table();
    for (const row &r : rows)
        for (world *w : {&live, &refused}) {
            SCOPED_TRACE(testing::Message() << r.name << (w == &live ? ": success path" : ": failure path"));
            for (auto table : {real, &counting}) {
                held.clear();
                env()->functions = table;
                jlong result = r.call(*w);
                env()->functions = real;
                env()->ExceptionClear();
                EXPECT_TRUE(r.refusal == any || (result == r.refusal) == (w == &refused)) << result;
            }
            std::erase_if(held, [](const auto &kind) { return kind.second == 0; });
            EXPECT_EQ(held, (std::map<std::string, int>{}));
        }
    live.close_all();
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
