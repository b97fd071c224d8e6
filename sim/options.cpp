#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kelvex::sim {
namespace {

enum Long {
    kSeed = 256, kNoise, kLampAzimuth, kYaw, kRate, kBodyInertia, kWheelInertia, kMotorTau,
    kMaxRpm, kFriction, kFieldH, kFieldV, kLampIntensity, kDrop, kCorrupt, kLate, kLateMs,
    kGlue, kDelay, kBaud, kTelemetry, kTelemetryRate, kState, kLink, kNoGround, kGroundDir,
    kFtpPort, kHttpPort,
};

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"verbose", no_argument, nullptr, 'v'},
    {"seed", required_argument, nullptr, kSeed},
    {"noise", required_argument, nullptr, kNoise},
    {"lamp-azimuth", required_argument, nullptr, kLampAzimuth},
    {"lamp-intensity", required_argument, nullptr, kLampIntensity},
    {"yaw", required_argument, nullptr, kYaw},
    {"rate", required_argument, nullptr, kRate},
    {"body-inertia", required_argument, nullptr, kBodyInertia},
    {"wheel-inertia", required_argument, nullptr, kWheelInertia},
    {"motor-tau", required_argument, nullptr, kMotorTau},
    {"max-rpm", required_argument, nullptr, kMaxRpm},
    {"friction", required_argument, nullptr, kFriction},
    {"field-horizontal", required_argument, nullptr, kFieldH},
    {"field-vertical", required_argument, nullptr, kFieldV},
    {"drop", required_argument, nullptr, kDrop},
    {"corrupt", required_argument, nullptr, kCorrupt},
    {"late", required_argument, nullptr, kLate},
    {"late-ms", required_argument, nullptr, kLateMs},
    {"glue", required_argument, nullptr, kGlue},
    {"delay", required_argument, nullptr, kDelay},
    {"baud", required_argument, nullptr, kBaud},
    {"telemetry", required_argument, nullptr, kTelemetry},
    {"telemetry-rate", required_argument, nullptr, kTelemetryRate},
    {"state", required_argument, nullptr, kState},
    {"link", required_argument, nullptr, kLink},
    {"no-ground", no_argument, nullptr, kNoGround},
    {"ground-dir", required_argument, nullptr, kGroundDir},
    {"ftp-port", required_argument, nullptr, kFtpPort},
    {"http-port", required_argument, nullptr, kHttpPort},
    {nullptr, 0, nullptr, 0},
};

bool number(const char* text, double lo, double hi, double& out)
{
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v >= lo && v <= hi)) {
        return false;
    }
    out = v;
    return true;
}

}  // namespace

void print_help(FILE* out)
{
    std::fputs(
        "Usage: kelvex-sim serve [options]\n"
        "       kelvex-sim attach [options] PTY-SLAVE\n"
        "       kelvex-sim run [options] -- PROGRAM [ARGS...]\n"
        "\n"
        "A virtual satellite on an air-bearing table lit by a lamp, behind a\n"
        "bus controller that answers missions on a pseudo-terminal.\n"
        "\n"
        "  serve    create a pseudo-terminal pair, print the path a mission opens\n"
        "           and answer on it until CTRL-C\n"
        "  attach   serve the slave of a pseudo-terminal a mission opened through\n"
        "           /dev/ptmx (it prints \"pseudo-terminal is PATH\")\n"
        "  run      one command: line, GPIO tree, ground station (or a log printer\n"
        "           on 127.0.0.1:4567), then the mission; exits with its status.\n"
        "           A program gets [-f FTP-URL] and the line's path as its last\n"
        "           arguments; a Python script finds the path in $KELVEX_TTY\n"
        "\n"
        "General:\n"
        "  -h, --help               this text\n"
        "  -v, --verbose            report ignored messages; twice: every message\n"
        "  --seed N                 seed of the noise and the faults (default 1)\n"
        "  --noise SCALE            sensor noise, times the nominal (default 1, 0 = none)\n"
        "  --telemetry FILE         CSV of the true state (run: default telemetry.csv)\n"
        "  --telemetry-rate HZ      CSV rows per simulated second (default 20)\n"
        "  --state FILE             state file for live readers (run makes its own)\n"
        "\n"
        "Physics (see sim/README.md):\n"
        "  --lamp-azimuth DEG       lamp direction (default 120)\n"
        "  --lamp-intensity X       lamp brightness, 1 = full scale (default 1)\n"
        "  --yaw DEG                initial yaw (default 0)\n"
        "  --rate DPS               initial yaw rate (default 0)\n"
        "  --body-inertia KGM2      default 0.02\n"
        "  --wheel-inertia KGM2     reaction wheel (motor 0), default 2e-5\n"
        "  --motor-tau S            motor and fan time constant, default 0.3\n"
        "  --max-rpm RPM            motor and fan speed limit, default 8000\n"
        "  --friction NMS           viscous drag of the bearing, default 0\n"
        "  --field-horizontal UT    default 20\n"
        "  --field-vertical UT      downward, default 44\n"
        "\n"
        "Line faults (probabilities per answer, 0 to 1):\n"
        "  --drop P                 the answer is never sent\n"
        "  --corrupt P              one byte of the answer frame is altered\n"
        "  --late P                 the answer comes after --late-ms (default 200)\n"
        "  --glue P                 the previous frame is sent again, glued to this one\n"
        "  --delay MS               every answer waits this long (default 0)\n"
        "  --baud N                 emulate the line's speed, 10 bits per byte\n"
        "\n"
        "serve:  --link PATH        also make PATH a symbolic link to the line\n"
        "run:    --no-ground        do not start kelvex-ground; print log datagrams\n"
        "        --ground-dir DIR   the ground station's directory (default ground)\n"
        "        --ftp-port N       its FTP port for the photos (default 2121, 0 = any free)\n"
        "        --http-port N      its page's port (default 8080, 0 = any free)\n",
        out);
}

bool parse_options(int argc, char** argv, Options& o, std::string& error)
{
    if (argc < 2) {
        error = "a command is needed: serve, attach or run";
        return false;
    }
    const std::string cmd = argv[1];
    if (cmd == "serve") {
        o.command = Command::Serve;
    } else if (cmd == "attach") {
        o.command = Command::Attach;
    } else if (cmd == "run") {
        o.command = Command::Run;
    } else if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        o.command = Command::Help;
        return true;
    } else {
        error = "unknown command '" + cmd + "'";
        return false;
    }
    const int sub_argc = argc - 1;
    char** sub_argv = argv + 1;
    optind = 1;
    opterr = 0;
    int c;
    while ((c = getopt_long(sub_argc, sub_argv, "+hv", kLongOptions, nullptr)) != -1) {
        double v = 0;
        auto num = [&](double lo, double hi) {
            if (!number(optarg, lo, hi, v)) {
                error = std::string("bad value '") + optarg + "' for " + sub_argv[optind - 1];
                return false;
            }
            return true;
        };
        PhysicsParams& p = o.physics;
        FaultParams& f = o.faults;
        const double big = 1e12;
        switch (c) {
        case 'h': o.command = Command::Help; return true;
        case 'v': ++o.verbose; break;
        case kSeed: if (!num(0, 4294967295.0)) return false; o.seed = static_cast<uint32_t>(v); break;
        case kNoise: if (!num(0, 1000)) return false; o.noise = v; break;
        case kLampAzimuth: if (!num(-big, big)) return false; p.lamp_azimuth_deg = v; break;
        case kLampIntensity: if (!num(0, 10)) return false; p.lamp_intensity = v; break;
        case kYaw: if (!num(-big, big)) return false; p.initial_yaw_deg = v; break;
        case kRate: if (!num(-3600, 3600)) return false; p.initial_rate_dps = v; break;
        case kBodyInertia: if (!num(1e-9, big)) return false; p.body_inertia = v; break;
        case kWheelInertia: if (!num(0, big)) return false; p.wheel_inertia = v; break;
        case kMotorTau: if (!num(0, 1000)) return false; p.motor_tau = v; break;
        case kMaxRpm: if (!num(0, 32767)) return false; p.motor_max_rpm = v; break;
        case kFriction: if (!num(0, big)) return false; p.bearing_friction = v; break;
        case kFieldH: if (!num(-1e4, 1e4)) return false; p.field_horizontal_ut = v; break;
        case kFieldV: if (!num(-1e4, 1e4)) return false; p.field_vertical_ut = v; break;
        case kDrop: if (!num(0, 1)) return false; f.drop = v; break;
        case kCorrupt: if (!num(0, 1)) return false; f.corrupt = v; break;
        case kLate: if (!num(0, 1)) return false; f.late = v; break;
        case kLateMs: if (!num(0, 60000)) return false; f.late_ms = v; break;
        case kGlue: if (!num(0, 1)) return false; f.glue = v; break;
        case kDelay: if (!num(0, 60000)) return false; f.delay_ms = v; break;
        case kBaud: if (!num(0, 1e8)) return false; f.baud = static_cast<int>(v); break;
        case kTelemetry: o.telemetry = optarg; break;
        case kTelemetryRate: if (!num(0, 1000)) return false; o.telemetry_rate = v; break;
        case kState: o.state = optarg; break;
        case kLink: o.link = optarg; break;
        case kNoGround: o.no_ground = true; break;
        case kGroundDir: o.ground_dir = optarg; break;
        case kFtpPort: if (!num(0, 65535)) return false; o.ftp_port = static_cast<int>(v); break;
        case kHttpPort: if (!num(0, 65535)) return false; o.http_port = static_cast<int>(v); break;
        default:
            error = std::string("unknown option '") + sub_argv[optind - 1] + "'";
            return false;
        }
    }
    std::vector<std::string> rest(sub_argv + optind, sub_argv + sub_argc);
    switch (o.command) {
    case Command::Serve:
        if (!rest.empty()) {
            error = "serve takes no operand";
            return false;
        }
        break;
    case Command::Attach:
        if (rest.size() != 1) {
            error = "attach takes the pseudo-terminal's path";
            return false;
        }
        o.attach = rest[0];
        break;
    case Command::Run:
        if (rest.empty()) {
            error = "run needs a program: kelvex-sim run [options] -- PROGRAM [ARGS...]";
            return false;
        }
        o.program = rest;
        if (o.telemetry.empty()) {
            o.telemetry = "telemetry.csv";
        }
        break;
    case Command::Help: break;
    }
    return true;
}

}  // namespace kelvex::sim
