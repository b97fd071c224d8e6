#include "run/lab.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "run/paths.h"

namespace kelvex::sim {
namespace {

std::string need_lab()
{
    const std::string lab = find_lab();
    if (lab.empty()) {
        std::fprintf(stderr, "kelvex-sim: runs and lab sheets need kelvex-lab (lab/kelvex-lab in "
                             "the build tree, share/kelvex/lab/kelvex-lab once installed)\n");
    }
    return lab;
}

// Replaces this process with `args`; returns only when that failed.
int become(std::vector<std::string> args, int failed)
{
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::fflush(nullptr);
    execv(argv[0], argv.data());
    std::fprintf(stderr, "kelvex-sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
    return failed;
}

// `--NAME PATH` when `path` (relative to this program) exists.
void add_dir(std::vector<std::string>& args, const char* name, const std::string& path)
{
    if (is_dir(path)) {
        args.insert(args.end(), {name, path});
    }
}

}  // namespace

std::string find_lab()
{
    // The build tree's, the installation's, then PATH's.
    const std::string built = self_dir() + "/../lab/kelvex-lab";
    return is_executable(built) ? built
                                : find_program("../share/kelvex/lab/kelvex-lab", "kelvex-lab");
}

int fly(const Options& o)
{
    const std::string lab = need_lab();
    if (lab.empty()) {
        return 1;
    }
    // What the orchestrator needs of the kit, found where this kelvex-sim
    // sits (the build tree or the installation).
    std::vector<std::string> args = {lab, "fly", "--sim", self_dir() + "/kelvex-sim"};
    const std::string plot = find_program("kelvex-plot", "kelvex-plot");
    if (!plot.empty()) {
        args.insert(args.end(), {"--plot", plot});
    }
    // The camera stand-in: beside the build tree's station, or where the
    // package installs it (never on the ordinary PATH, where it would hide a
    // real capture tool).
    const std::string bin = self_dir() + "/../ground/bin";
    add_dir(args, "--bin", is_dir(bin) ? bin : self_dir() + "/../share/kelvex/ground/bin");
    // From a build tree, scripts import the module built next to us, and
    // the page serves the libraries the build fetched.
    if (access((self_dir() + "/../python/kelvex.py").c_str(), F_OK) == 0) {
        args.insert(args.end(), {"--module", self_dir() + "/../python"});
    }
    add_dir(args, "--vendor", self_dir() + "/../ground/vendor");
    args.push_back("--");
    args.insert(args.end(), o.given.begin(), o.given.end());
    args.push_back("--");
    args.insert(args.end(), o.program.begin(), o.program.end());
    return become(args, 1);
}

int replay_run(const Options& o)
{
    const std::string lab = need_lab();
    if (lab.empty()) {
        return kBadSheet;
    }
    std::vector<std::string> args = {lab, "replay", o.replay_dir};
    if (!o.checks.empty()) {
        args.insert(args.end(), {"--checks", o.checks});
    }
    if (!o.replay_out.empty()) {
        args.insert(args.end(), {"--out", o.replay_out});
    }
    if (o.no_plot) {
        args.push_back("--no-plot");
    }
    return become(args, kBadSheet);
}

}  // namespace kelvex::sim
