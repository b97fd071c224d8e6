// Runs a mission program as a child process and collects what it prints.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kelvex::testing {

struct ProcessResult {
    int exit_code = -1; // -1 when the program did not exit normally
    bool timed_out = false;
    std::string output; // standard output and error stream, in order
};

// Runs `program` with `args` (argv[0] is `program` as given) and the current
// environment plus `env`. The child is killed if it runs longer than
// `timeout_ms`.
ProcessResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env = {},
                          int timeout_ms = 20000);

// kelvex-sim run's option for the suites' own missions: an instrumented
// program reserves terabytes of address space for its shadow memory, which no
// sealed room's memory limit admits, so under AddressSanitizer they fly
// unsealed (the suites built without it fly them sealed).
#if defined(__SANITIZE_ADDRESS__)
#define KELVEX_TEST_SEAL_OPTION "--no-seal "
#else
#define KELVEX_TEST_SEAL_OPTION ""
#endif

// `kelvex-sim run`'s arguments ("run" first) with the option above.
inline std::vector<std::string> with_seal_option(std::vector<std::string> args)
{
#if defined(__SANITIZE_ADDRESS__)
    args.insert(args.begin() + 1, "--no-seal");
#endif
    return args;
}

// A GPIO tree in a fresh temporary directory: "export", "unexport" and, when
// `with_line17`, "gpio17/direction" and "gpio17/value". Removed on
// destruction.
class GpioTree {
public:
    explicit GpioTree(bool with_line17 = true);
    ~GpioTree();
    GpioTree(const GpioTree&) = delete;
    GpioTree& operator=(const GpioTree&) = delete;

    const std::string& root() const { return root_; }
    std::string read(const std::string& file) const;
    void write(const std::string& file, const std::string& text) const;
    static std::string read_file(const std::string& path);
    static void write_file(const std::string& path, const std::string& text);
    // Creates the directory of line `pin` with empty direction and value files.
    void add_line(int pin) const;

private:
    std::string root_;
};

} // namespace kelvex::testing
