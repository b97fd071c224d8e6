#include "run/temp_tree.h"

#include <ftw.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>
#include <vector>

namespace kelvex::sim {
namespace {

int remove_entry(const char* path, const struct stat*, int, FTW*) { return std::remove(path); }

}  // namespace

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream f(path, std::ios::trunc);
    f << content;
    f.close();
    if (!f) {
        throw std::system_error(errno, std::generic_category(), path);
    }
}

void make_dirs(const std::string& dir)
{
    size_t at = 0;
    do {
        at = dir.find('/', at + 1);
        const std::string part = dir.substr(0, at);
        if (!part.empty() && mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            throw std::system_error(errno, std::generic_category(), part);
        }
    } while (at != std::string::npos);
}

void make_gpio_tree(const std::string& dir)
{
    make_dirs(dir + "/gpio17");
    write_file(dir + "/export", "");
    write_file(dir + "/unexport", "");
    write_file(dir + "/gpio17/direction", "in");
    write_file(dir + "/gpio17/value", "0");
}

TempTree::TempTree()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelvex-sim.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = buf.data();
}

TempTree::~TempTree() { nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

std::string TempTree::make_gpio()
{
    make_gpio_tree(path_ + "/gpio");
    return path_ + "/gpio";
}

std::string TempTree::make_curl_home()
{
    const std::string home = path_ + "/curl";
    make_dirs(home);
    write_file(home + "/.curlrc", "--silent\n--show-error\n");
    return home;
}

}  // namespace kelvex::sim
