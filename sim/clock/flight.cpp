#include "flight.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "paths.h"

namespace kelvex::sim {

bool choose_clock(const std::string& clock, const std::string& speed, bool judged,
                  ClockChoice& out, std::string& error)
{
    if (clock.empty()) {
        out.is_virtual = judged;
    } else if (clock == "virtual" || clock == "real") {
        out.is_virtual = clock == "virtual";
    } else {
        error = "--clock takes virtual or real, not '" + clock + "'";
        return false;
    }
    if (speed.empty()) {
        out.speed = out.is_virtual && judged ? 0 : 1;
        return true;
    }
    if (speed == "max") {
        out.speed = 0;
    } else {
        char* end = nullptr;
        const double v = std::strtod(speed.c_str(), &end);
        if (end == speed.c_str() || *end != '\0' || !(v > 0 && v <= 1e6)) {
            error = "--speed takes a number above 0 or max, not '" + speed + "'";
            return false;
        }
        out.speed = v;
    }
    if (!out.is_virtual && out.speed != 1) {
        error = "--speed needs --clock virtual: a real clock runs at its own pace";
        return false;
    }
    return true;
}

std::string find_interposer()
{
    for (const char* rel : {"/libkelvex_clock.so", "/../lib/kelvex/libkelvex_clock.so",
                            "/../lib/x86_64-linux-gnu/kelvex/libkelvex_clock.so"}) {
        const std::string p = self_dir() + rel;
        if (access(p.c_str(), R_OK) == 0) {
            return absolute(p);
        }
    }
    return {};
}

namespace {

// The file execvp would run for `program`.
std::string resolve(const std::string& program)
{
    if (program.find('/') != std::string::npos) {
        return program;
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

}  // namespace

std::string cannot_follow(const std::string& program)
{
    const std::string file = resolve(program);
    const int fd = file.empty() ? -1 : open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};  // not ours to judge: the start reports it
    }
    Elf64_Ehdr eh{};
    bool dynamic = true;
    if (pread(fd, &eh, sizeof eh, 0) == static_cast<ssize_t>(sizeof eh) &&
        std::memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0) {
        dynamic = false;
        for (int i = 0; eh.e_ident[EI_CLASS] == ELFCLASS64 && i < eh.e_phnum; ++i) {
            Elf64_Phdr ph{};
            if (pread(fd, &ph, sizeof ph, static_cast<off_t>(eh.e_phoff + i * eh.e_phentsize)) !=
                static_cast<ssize_t>(sizeof ph)) {
                break;
            }
            dynamic = dynamic || ph.p_type == PT_INTERP;
        }
    }
    close(fd);
    if (dynamic) {
        return {};
    }
    return "kelvex-sim: virtual time cannot follow " + file +
           ": it is statically linked (no dynamic loader to preload the clock into); fly it "
           "with --clock real, or link it dynamically";
}

Environment clock_environment(const clock::VirtualClock& clock, const std::string& interposer,
                              bool observer)
{
    const char* old = std::getenv("LD_PRELOAD");
    Environment env = {
        {"KELVEX_CLOCK", clock.path()},
        {"LD_PRELOAD", interposer + (old && *old ? std::string(" ") + old : std::string())},
    };
    env.emplace_back("KELVEX_CLOCK_ROLE", observer ? "observer" : "party");
    return env;
}

}  // namespace kelvex::sim
