// GPIO lines through the sysfs interface.
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kelvex/runner.h"
#include "common/unique_fd.h"

namespace kelvex::runner {

using common::UniqueFd;

namespace {

// A desk has no sysfs GPIO; tests and simulators point this at a directory
// tree of their own.
const char* gpio_root()
{
    const char* root = getenv("KELVEX_GPIO_ROOT");
    return root != nullptr && *root != '\0' ? root : "/sys/class/gpio";
}

// Room for any root the environment can name; a path that still doesn't fit
// is refused rather than cut into the name of some other file.
struct GpioPath {
    char text[PATH_MAX];
    bool ok;
};

GpioPath root_file(const char* leaf)
{
    GpioPath p;
    const int n = snprintf(p.text, sizeof p.text, "%s/%s", gpio_root(), leaf);
    p.ok = n >= 0 && static_cast<size_t>(n) < sizeof p.text;
    return p;
}

GpioPath line_file(int pin, const char* leaf, bool into_scratch = true)
{
    GpioPath p;
    const int n = snprintf(p.text, sizeof p.text, "%s/gpio%d/%s", gpio_root(), pin, leaf);
    p.ok = n >= 0 && static_cast<size_t>(n) < sizeof p.text;
    if (into_scratch) {
        // The exported scratch keeps what fits of the path; only the full
        // path is ever opened.
        snprintf(::buf, sizeof ::buf, "%.*s", static_cast<int>(sizeof ::buf - 1), p.text);
    }
    return p;
}

int open_path(const GpioPath& p, int flags)
{
    ::fd = p.ok ? open(p.text, flags) : -1;
    return ::fd;
}

int write_line_number(const char* leaf, int pin, const char* failure)
{
    UniqueFd file(open_path(root_file(leaf), O_WRONLY));
    if (!file) {
        fputs(failure, stderr);
        return -1;
    }
    const int n = snprintf(::buf, sizeof ::buf, "%d", pin);
    (void)!write(file.get(), ::buf, static_cast<size_t>(n));
    return 0;
}

} // namespace
} // namespace kelvex::runner

extern "C" {

KELVEX_API int GPIOExport(int pin)
{
    return kelvex::runner::write_line_number("export", pin, "Failed to open export for writing!\n");
}

KELVEX_API int GPIOUnexport(int pin)
{
    return kelvex::runner::write_line_number("unexport", pin,
                                             "Failed to open unexport for writing!\n");
}

KELVEX_API int GPIODirection(int pin, int dir)
{
    using namespace kelvex::runner;
    UniqueFd file(open_path(line_file(pin, "direction"), O_WRONLY));
    if (!file) {
        return -1;
    }
    const char* text = dir == 1 ? "out" : "in";
    (void)!write(file.get(), text, strlen(text));
    return 0;
}

KELVEX_API int GPIORead(int pin)
{
    using namespace kelvex::runner;
    UniqueFd file(open_path(line_file(pin, "value", false), O_RDONLY));
    if (!file) {
        fputs("Failed to open gpio value for reading!\n", stderr);
        return -1;
    }
    char value_str[4];
    const ssize_t n = read(file.get(), value_str, 3);
    if (n < 0) {
        fputs("Failed to read value!\n", stderr);
        return -1;
    }
    value_str[n] = '\0';
    return atoi(value_str);
}

KELVEX_API int GPIOWrite(int pin, int value)
{
    using namespace kelvex::runner;
    UniqueFd file(open_path(line_file(pin, "value"), O_WRONLY));
    if (!file) {
        return -1;
    }
    (void)!write(file.get(), value == 0 ? "0" : "1", 1);
    return 0;
}

}
