#include "serve.h"

#include <unistd.h>

#include <cstdio>

#include "pty_line.h"
#include "satellite.h"
#include "server.h"
#include "signals.h"

namespace kelvex::sim {

int serve_line(const Options& o)
{
    SignalFd sig({SIGINT, SIGTERM, SIGHUP});
    const bool attached = o.command == Command::Attach;
    PtyLine line = attached ? attach_pty_slave(o.attach) : open_pty_pair();
    Satellite sat(o, o.telemetry, o.state);
    if (!attached) {
        if (!o.link.empty()) {
            unlink(o.link.c_str());
            if (symlink(line.mission.c_str(), o.link.c_str()) != 0) {
                std::perror(o.link.c_str());
                return 1;
            }
        }
        std::printf("kelvex-sim: pseudo-terminal is %s\n", line.mission.c_str());
    } else {
        std::printf("kelvex-sim: serving %s\n", o.attach.c_str());
    }
    std::fflush(stdout);

    Server server(line.serve.get(), sat.physics, sat.bus, sat.faults, sat.telemetry, o.verbose);
    server.watch(sig.fd(), [&] {
        if (sig.next() != 0) {
            server.stop();
        }
    });
    server.run();
    sat.telemetry.finish(sat.physics, sat.bus, sat.faults);
    if (!attached && !o.link.empty()) {
        unlink(o.link.c_str());
    }
    const FaultCounts& c = sat.faults.counts();
    if (o.verbose > 0) {
        std::fprintf(stderr,
                     "kelvex-sim: %llu requests; answers dropped %llu, corrupted %llu, late %llu, "
                     "glued %llu\n",
                     static_cast<unsigned long long>(sat.bus.requests()),
                     static_cast<unsigned long long>(c.dropped),
                     static_cast<unsigned long long>(c.corrupted),
                     static_cast<unsigned long long>(c.late),
                     static_cast<unsigned long long>(c.glued));
    }
    return 0;
}

}  // namespace kelvex::sim
