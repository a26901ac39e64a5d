// Port names on Windows go to the driver as they are, if they fit its field.
#include <gtest/gtest.h>

#include "port_name.h"

namespace {

TEST(PortNames, NamesUpToElevenCharactersPass) {
    for (const std::string name : {"COM5", "\\\\.\\COM12", "COM12345678"}) {
        zelhost::PortChoice choice;
        std::string error;
        EXPECT_TRUE(zelhost::ResolvePortName(name, &choice, &error)) << name << ": " << error;
        EXPECT_EQ(choice.driverName, name);
    }
    for (const std::string name : {"", "COM123456789"}) {
        zelhost::PortChoice choice;
        std::string error;
        EXPECT_FALSE(zelhost::ResolvePortName(name, &choice, &error)) << name;
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
