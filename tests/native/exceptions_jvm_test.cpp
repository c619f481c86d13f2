// Raising exceptions against a real JVM.
#include "jvm.h"
#include "talvo.h"

#include <gtest/gtest.h>

#include <string>

using talvo_test::capture_stderr;
using talvo_test::env;
using talvo_test::take_exception;

TEST(Exceptions, ThrowsTheNamedClassWithTheMessage) {
    talvo_throw_exception(env(), "java/io/IOException", "disk gone");
    auto thrown = take_exception(env());
    EXPECT_EQ(thrown.class_name, "java.io.IOException");
    EXPECT_EQ(thrown.message, "disk gone");

    talvo_printf_exception(env(), "java/net/SocketException", "can't find address %s", "nowhere");
    thrown = take_exception(env());
    EXPECT_EQ(thrown.class_name, "java.net.SocketException");
    EXPECT_EQ(thrown.message, "can't find address nowhere");
}

TEST(Exceptions, APendingExceptionStaysAndTheMessageGoesToStandardError) {
    talvo_throw_exception(env(), "java/lang/NullPointerException", "first");
    std::string err = capture_stderr([] {
        talvo_throw_exception(env(), "java/io/IOException", "second");
        talvo_printf_exception(env(), "java/io/IOException", "third %d", 3);
    });
    EXPECT_EQ(err, "second\nthird 3\n");
    auto thrown = take_exception(env());
    EXPECT_EQ(thrown.class_name, "java.lang.NullPointerException");
    EXPECT_EQ(thrown.message, "first");
}

TEST(Exceptions, AMissingClassLeavesOnlyTheLookupError) {
    std::string err = capture_stderr([] { talvo_throw_exception(env(), "no/such/Class", "lost"); });
    EXPECT_EQ(err, "lost\n");
    auto thrown = take_exception(env());
    EXPECT_EQ(thrown.class_name, "java.lang.NoClassDefFoundError");
    EXPECT_EQ(env()->ExceptionCheck(), JNI_FALSE);
}

TEST(Exceptions, ANullEnvWritesToStandardError) {
    std::string err = capture_stderr([] {
        talvo_throw_exception(nullptr, "java/io/IOException", "no env");
        talvo_printf_exception(nullptr, "java/io/IOException", "%s-%d", "no env", 2);
    });
    EXPECT_EQ(err, "no env\nno env-2\n");
}

TEST(Exceptions, ALongFormattedMessageIsCutAt8191) {
    std::string path(9000, 'p');
    talvo_printf_exception(env(), "java/io/IOException", "'%s' permission denied", path.c_str());
    auto thrown = take_exception(env());
    ASSERT_EQ(thrown.message.size(), 8191u);
    EXPECT_EQ(thrown.message, std::string("'").append(path, 0, 8190));

    std::string err = capture_stderr(
        [&] { talvo_printf_exception(nullptr, "java/io/IOException", "%s%s", path.c_str(), path.c_str()); });
    ASSERT_EQ(err.size(), 8192u);
    EXPECT_EQ(err, std::string(8191, 'p') + "\n");
}
