// Raising exceptions against a real JVM.
#include "jvm.h"
#include "talvo.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using talvo_test::env;

namespace {

// What `body` wrote on standard error.
std::string capture_stderr(const std::function<void()> &body) {
    testing::internal::CaptureStderr();
    body();
    fflush(stderr);
    return testing::internal::GetCapturedStderr();
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

TEST(Exceptions, ThrowsTheNamedClassWithTheMessageCutAt8191) {
    talvo_throw_exception(env(), "java/io/IOException", "disk gone");
    EXPECT_EQ(take_exception(), "java.io.IOException: disk gone");

    std::string path(9000, 'p');
    talvo_printf_exception(env(), "java/net/SocketException", "'%s' permission denied", path.c_str());
    EXPECT_EQ(take_exception(), "java.net.SocketException: '" + path.substr(0, 8190));

    // A missing class leaves only the lookup error, and the message on standard error.
    EXPECT_EQ(capture_stderr([] { talvo_throw_exception(env(), "no/such/Class", "lost"); }), "lost\n");
    EXPECT_EQ(take_exception().rfind("java.lang.NoClassDefFoundError", 0), 0u);
    EXPECT_FALSE(env()->ExceptionCheck());
}

TEST(Exceptions, WithOnePendingOrNoEnvTheMessageGoesToStandardError) {
    talvo_throw_exception(env(), "java/lang/NullPointerException", "first");
    std::string path(9000, 'p');
    std::string err = capture_stderr([&] {
        talvo_throw_exception(env(), "java/io/IOException", "second");
        talvo_printf_exception(env(), "java/io/IOException", "third %d", 3);
        talvo_throw_exception(nullptr, "java/io/IOException", "no env");
        talvo_printf_exception(nullptr, "java/io/IOException", "%s-%d", "no env", 2);
        talvo_printf_exception(nullptr, "java/io/IOException", "%s%s", path.c_str(), path.c_str());
    });
    EXPECT_EQ(err, "second\nthird 3\nno env\nno env-2\n" + std::string(8191, 'p') + "\n");
    EXPECT_EQ(take_exception(), "java.lang.NullPointerException: first");
}

}  // namespace
