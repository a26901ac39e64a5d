// Port names on Linux: short names under /dev, long stable paths resolved to
// their device, and what cannot be a port refused with a reason.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "port_name.h"

namespace {

using zelhost::PortChoice;
using zelhost::ResolvePortName;

class PortNames : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zelhost-ports-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
    std::string dir;
};

TEST_F(PortNames, ShortNamesAndLinksReachTheDevice) {
    // A link such as /dev/serial/by-id/... names the device it points to.
    ASSERT_EQ(symlink("/dev/null", (dir + "/usb-Panel_Adapter_1234-if00-port0").c_str()), 0);
    ASSERT_EQ(symlink("usb-Panel_Adapter_1234-if00-port0", (dir + "/second-link").c_str()), 0);
    // A link that fits the driver's field goes as it is, for the driver to
    // reopen after a loss (/tmp/XXXXXX has 11 characters).
    char shortLink[] = "/tmp/XXXXXX";
    const int made = mkstemp(shortLink);
    ASSERT_GE(made, 0);
    close(made);
    ASSERT_EQ(unlink(shortLink), 0);
    ASSERT_EQ(symlink("/dev/zero", shortLink), 0);
    const struct {
        std::string given, driverName, device;
        bool link;
    } cases[] = {{"null", "null", "/dev/null", false},
                 {"/dev/null", "null", "/dev/null", false},
                 {"/dev/../dev/zero", "zero", "/dev/zero", false},
                 {dir + "/usb-Panel_Adapter_1234-if00-port0", "null", "/dev/null", true},
                 {dir + "/second-link", "null", "/dev/null", true},
                 {shortLink, shortLink, "/dev/zero", true}};
    for (const auto &c : cases) {
        PortChoice choice;
        std::string error;
        EXPECT_TRUE(ResolvePortName(c.given, &choice, &error)) << c.given << ": " << error;
        EXPECT_EQ(choice.driverName, c.driverName) << c.given;
        EXPECT_EQ(choice.device, c.device) << c.given;
        EXPECT_EQ(choice.link, c.link) << c.given;
    }
    unlink(shortLink);
}

TEST_F(PortNames, WhatCannotBeAPortIsRefused) {
    std::ofstream(dir + "/plain-file") << "x";
    ASSERT_EQ(symlink((dir + "/nowhere").c_str(), (dir + "/dangling").c_str()), 0);
    const struct {
        std::string given, reason;
    } cases[] = {{"", "empty"},
                 {"pts/99999", "no such port: pts/99999 (/dev/pts/99999)"},
                 {dir + "/dangling", "no such port"},
                 {dir + "/plain-file", "not a serial device"},
                 {"/dev", "not a serial device"}};
    for (const auto &c : cases) {
        PortChoice choice;
        std::string error;
        EXPECT_FALSE(ResolvePortName(c.given, &choice, &error)) << c.given;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.given << ": " << error;
    }
}

TEST_F(PortNames, DeviceWhoseNameDoesNotFitTheDriverIsRefused) {
    // A character device outside /dev has only its full path as a name.
    const std::string device = dir + "/ttyLONG";
    if (mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) GTEST_SKIP() << "mknod not permitted here";
    PortChoice choice;
    std::string error;
    EXPECT_FALSE(ResolvePortName(device, &choice, &error));
    EXPECT_NE(error.find("port name too long: " + device), std::string::npos) << error;
    EXPECT_NE(error.find("holds 11"), std::string::npos) << error;
}

}  // namespace
