// Options, usage text and build line of the mission runner.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kelvex/runner.h"
#include "runner/build_info.h"
#include "runner/options.h"

namespace kelvex::runner {
namespace {

int int_option(const char* text)
{
    const long v = strtol(text, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

void replace_string(char*& owned, const char* text)
{
    free(owned);
    owned = strdup(text);
}

const char* or_null(const char* s)
{
    return s != nullptr ? s : "(null)";
}

} // namespace

const char* program_name(const char* path)
{
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

const char* parse_options(int argc, char** argv)
{
    int opt;
    while ((opt = getopt(argc, argv, "N:Xb:c:df:hi:n:t:vz:")) != -1) {
        switch (opt) {
        case 'N': {
            const int v = int_option(optarg);
            ncells = v > 8 ? 8 : v < 0 ? 0 : v;
            break;
        }
        case 'X':
            donotpollsunbattery = 1;
            break;
        case 'b':
            G.baud = int_option(optarg);
            break;
        case 'c':
            G.charge = static_cast<float>(strtod(optarg, nullptr));
            break;
        case 'd':
            ++debug;
            break;
        case 'f':
            replace_string(ftp_path, optarg);
            break;
        case 'i':
            G.current = static_cast<float>(strtod(optarg, nullptr));
            break;
        case 'n': {
            const int v = int_option(optarg);
            G.retries = v < 1 ? 1 : v;
            break;
        }
        case 't':
            G.timeout = int_option(optarg);
            break;
        case 'v':
            version(program_name(argv[0]));
            exit(0);
        case 'z':
            replace_string(G.buzz_server, optarg);
            break;
        default: // "-h", and anything getopt has already complained about
            usage(argv[0]);
        }
    }
    if (argc - optind != 1) {
        usage(argv[0]);
    }
    return argv[optind];
}

} // namespace kelvex::runner

extern "C" {

KELVEX_API void usage(const char* prg)
{
    printf("Usage: %s [options] <tty>\n", prg);
    printf("  (use CTRL-C to terminate program)\n");
    printf("\n");
    printf("Options:\n");
    printf("  -N <value>\t\t(number of cells in battery, default is %d)\n", ncells);
    printf("  -X\t\t\t(do not poll sun battery for charging)\n");
    printf("  -b <value>\t\t(set baudrate, default is %d)\n", G.baud);
    printf("  -c <value>\t\t(charge of accumulator, default is %.1fAH)\n", G.charge);
    printf("  -d\t\t\t(increment level for debug messages)\n");
    printf("  -f <value>\t\t(FTP, default is %s)\n", kelvex::runner::or_null(ftp_path));
    printf("  -i <value>\t\t(discharge current, default is %.1fmA)\n", G.current);
    printf("  -n <value>\t\t(number of retries, default is %d)\n", G.retries);
    printf("  -t <value>\t\t(set i/o timeout, default is %dmS)\n", G.timeout);
    printf("  -v\t\t\t(show build information and exit)\n");
    printf("  -z <value>\t\t(buzz server, default is %s)\n", kelvex::runner::or_null(G.buzz_server));
    printf("\n");
    exit(1);
}

KELVEX_API void version(const char* prg)
{
    printf("The %s was built with kelvex version %s %s\n", prg, kelvex::runner::kRevisionTag,
           kelvex::runner::kBuildTime);
}

}
