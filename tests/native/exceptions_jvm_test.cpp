// Raising exceptions against a real JVM.
#include "jvm.h"
#include "talvo.h"

#include <gtest/gtest.h>

#include <string>

using talvo_test::capture_stderr;
using talvo_test::env;
using talvo_test::take_exception;

TEST(Exceptions, ThrowsTheNamedClassWithTheMessageCutAt8191) {
    talvo_throw_exception(env(), "java/io/IOException", "disk gone");
    auto thrown = take_exception(env());
    EXPECT_EQ(thrown.class_name + ": " + thrown.message, "java.io.IOException: disk gone");

    std::string path(9000, 'p');
    talvo_printf_exception(env(), "java/net/SocketException", "'%s' permission denied", path.c_str());
    thrown = take_exception(env());
    EXPECT_EQ(thrown.class_name, "java.net.SocketException");
    EXPECT_EQ(thrown.message, "'" + path.substr(0, 8190));

    // A missing class leaves only the lookup error, and the message on standard error.
    EXPECT_EQ(capture_stderr([] { talvo_throw_exception(env(), "no/such/Class", "lost"); }), "lost\n");
    EXPECT_EQ(take_exception(env()).class_name, "java.lang.NoClassDefFoundError");
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
    auto thrown = take_exception(env());
    EXPECT_EQ(thrown.class_name + ": " + thrown.message, "java.lang.NullPointerException: first");
}
