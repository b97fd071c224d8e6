// GPIO operations against a temporary sysfs-like tree.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "fakes/mission_process.h"
#include "kelvex/runner.h"

namespace kelvex::testing {
namespace {

class Gpio : public ::testing::Test {
protected:
    void SetUp() override { setenv("KELVEX_GPIO_ROOT", tree.root().c_str(), 1); }
    void TearDown() override { unsetenv("KELVEX_GPIO_ROOT"); }

    // The operation's descriptor is left in fd and already closed.
    static void expect_closed_descriptor()
    {
        EXPECT_GE(::fd, 0);
        EXPECT_EQ(fcntl(::fd, F_GETFD), -1);
    }

    static std::string stderr_of(int (*op)(int), int pin, int* result)
    {
        ::testing::internal::CaptureStderr();
        *result = op(pin);
        return ::testing::internal::GetCapturedStderr();
    }

    GpioTree tree;
};

TEST_F(Gpio, ExportAndUnexportWriteTheLineNumber)
{
    EXPECT_EQ(GPIOExport(17), 0);
    EXPECT_EQ(tree.read("export"), "17");
    EXPECT_STREQ(buf, "17");
    expect_closed_descriptor();
    EXPECT_EQ(GPIOUnexport(4), 0);
    EXPECT_EQ(tree.read("unexport"), "4");
    expect_closed_descriptor();

    std::filesystem::remove(tree.root() + "/export");
    std::filesystem::remove(tree.root() + "/unexport");
    int result = 0;
    EXPECT_EQ(stderr_of(GPIOExport, 17, &result), "Failed to open export for writing!\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(::fd, -1);
    EXPECT_EQ(stderr_of(GPIOUnexport, 17, &result), "Failed to open unexport for writing!\n");
    EXPECT_EQ(result, -1);
}

TEST_F(Gpio, DirectionAndValueTexts)
{
    struct Case {
        int dir;
        const char* text;
    };
    for (const Case c : {Case{1, "out"}, Case{0, "in"}, Case{5, "in"}}) {
        tree.write("gpio17/direction", "");
        EXPECT_EQ(GPIODirection(17, c.dir), 0);
        EXPECT_EQ(tree.read("gpio17/direction"), c.text) << c.dir;
        expect_closed_descriptor();
    }
    EXPECT_EQ(std::string(buf), tree.root() + "/gpio17/direction");

    for (const auto& [value, text] : {std::pair{2, "1"}, std::pair{0, "0"}, std::pair{-1, "1"}}) {
        tree.write("gpio17/value", "");
        EXPECT_EQ(GPIOWrite(17, value), 0);
        EXPECT_EQ(tree.read("gpio17/value"), text) << value;
    }

    // A line that was never exported: no files to open.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(GPIODirection(23, 1), -1);
    EXPECT_EQ(::fd, -1);
    EXPECT_EQ(GPIOWrite(23, 1), -1);
    EXPECT_EQ(::fd, -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(Gpio, ReadConvertsTheLeadingNumber)
{
    for (const auto& [text, value] :
         {std::pair{"1\n", 1}, std::pair{"0", 0}, std::pair{"123456", 123}, std::pair{"7x", 7}}) {
        tree.write("gpio17/value", text);
        EXPECT_EQ(GPIORead(17), value) << text;
        expect_closed_descriptor();
    }

    int result = 0;
    EXPECT_EQ(stderr_of(GPIORead, 23, &result), "Failed to open gpio value for reading!\n");
    EXPECT_EQ(result, -1);

    // A value that opens but can't be read.
    std::filesystem::create_directories(tree.root() + "/gpio24/value");
    EXPECT_EQ(stderr_of(GPIORead, 24, &result), "Failed to read value!\n");
    EXPECT_EQ(result, -1);
}

TEST_F(Gpio, LongPathsAreBuiltWholeAndOverlongOnesRefused)
{
    // Large line numbers and a deep root make paths far longer than the
    // 60-byte scratch; they must still reach the right files.
    const std::string deep = tree.root() + "/" + std::string(100, 'd') + "/" + std::string(100, 'e');
    std::filesystem::create_directories(deep);
    setenv("KELVEX_GPIO_ROOT", deep.c_str(), 1);
    GpioTree::write_file(deep + "/export", "");
    const int pin = 1234567890;
    const std::string line = deep + "/gpio1234567890";
    std::filesystem::create_directories(line);
    GpioTree::write_file(line + "/direction", "");
    GpioTree::write_file(line + "/value", "1\n");

    EXPECT_EQ(GPIOExport(pin), 0);
    EXPECT_EQ(GpioTree::read_file(deep + "/export"), "1234567890");
    EXPECT_EQ(GPIORead(pin), 1);
    EXPECT_EQ(GPIODirection(pin, 1), 0);
    EXPECT_EQ(GpioTree::read_file(line + "/direction"), "out");
    EXPECT_EQ(GPIOWrite(pin, 0), 0);
    EXPECT_EQ(GpioTree::read_file(line + "/value"), "0\n");
    EXPECT_EQ(strlen(buf), sizeof buf - 1); // the scratch holds what fits

    // A root too long for any path: refused, nothing opened.
    const std::string overlong = "/tmp/" + std::string(PATH_MAX, 'x');
    setenv("KELVEX_GPIO_ROOT", overlong.c_str(), 1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(GPIOExport(17), -1);
    EXPECT_EQ(::fd, -1);
    EXPECT_EQ(GPIOUnexport(17), -1);
    EXPECT_EQ(GPIODirection(17, 1), -1);
    EXPECT_EQ(GPIOWrite(17, 1), -1);
    EXPECT_EQ(GPIORead(17), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Failed to open export for writing!\nFailed to open unexport for writing!\n"
              "Failed to open gpio value for reading!\n");

    // An empty override means the default root.
    setenv("KELVEX_GPIO_ROOT", "", 1);
    GPIODirection(987654, 1);
    EXPECT_STREQ(buf, "/sys/class/gpio/gpio987654/direction");
}

} // namespace
} // namespace kelvex::testing
