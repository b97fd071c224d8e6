#include "fakes/mission_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

#ifndef KELVEX_TEST_EMULATOR
#define KELVEX_TEST_EMULATOR
#endif

namespace kelvex::testing {

ProcessResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env, int timeout_ms)
{
    // Everything the child needs is built before fork: the parent has threads.
    // A cross-built program is started through the emulator that runs the
    // suites (the emulator keeps `program` as the program's own argv[0]).
    std::vector<std::string> argv_text{KELVEX_TEST_EMULATOR program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (env.count(entry.substr(0, entry.find('='))) == 0) {
            env_text.push_back(entry);
        }
    }
    for (const auto& [name, value] : env) {
        env_text.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& e : env_text) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);

    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t n = ::read(out[0], chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        result.output.append(chunk, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    }
    return result;
}

GpioTree::GpioTree(bool with_line17)
{
    char pattern[] = "/tmp/kelvex-gpio-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
    write("export", "");
    write("unexport", "");
    if (with_line17) {
        add_line(17);
    }
}

GpioTree::~GpioTree()
{
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

void GpioTree::add_line(int pin) const
{
    const std::string dir = "gpio" + std::to_string(pin);
    std::filesystem::create_directories(root_ + "/" + dir);
    write(dir + "/direction", "");
    write(dir + "/value", "");
}

std::string GpioTree::read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void GpioTree::write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string GpioTree::read(const std::string& file) const
{
    return read_file(root_ + "/" + file);
}

void GpioTree::write(const std::string& file, const std::string& text) const
{
    write_file(root_ + "/" + file, text);
}

} // namespace kelvex::testing
