#include "bus.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kelvex::sim {
namespace {

using devices::Op;
using F = devices::FamilyId;

uint16_t word_at(const Bytes& b, size_t offset)
{
    return static_cast<uint16_t>(b[offset] | (b[offset + 1] << 8));
}

void put16(Bytes& b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

Bytes words(std::initializer_list<uint16_t> ws)
{
    Bytes b;
    for (uint16_t w : ws) {
        put16(b, w);
    }
    return b;
}

Bytes text(const std::string& s)
{
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

const char* op_name(Op op)
{
    static const char* const names[] = {
        "request_reset", "request_raw", "request_maxraw", "set_minvalue", "set_calibrate",
        "set_value",     "set_speed",   "request_speed",  "turn_on",      "turn_off",
        "request_state", "send",        "request_buff",   "message"};
    return names[static_cast<size_t>(op)];
}

}  // namespace

bool is_greeting(const Bytes& message)
{
    static const uint8_t hi[] = {'H', 'I', ' ', 'A', 'L', 'L', '!', 0};
    return message.size() == sizeof hi && std::equal(message.begin(), message.end(), hi);
}

void Bus::reset(FamilyId f, int unit)
{
    units_.resets[static_cast<size_t>(f)][unit]++;
    if (f != F::transmitter) {
        units_.on(f, unit) = true;
    }
    switch (f) {
    case F::arm: units_.arm[unit] = 0; break;
    case F::motor: physics_.set_motor_command(unit, 0); break;
    case F::fan: physics_.set_fan_command(unit, 0); break;
    case F::coil:
        units_.coil[unit] = 0;
        physics_.set_coil(unit, 0);
        break;
    case F::engine:
        units_.engine[unit] = 0;
        physics_.set_engine(unit, 0);
        break;
    case F::light_sensor:
        units_.light_min[unit] = 0;
        units_.light_calibrate[unit] = 0;
        break;
    case F::sun_sensor: units_.sun_min[unit] = 0; break;
    case F::transceiver: units_.transceiver[unit].fill(0); break;
    default: break;
    }
}

void Bus::answer_values(Outcome& out, const Bytes& request, const Bytes& values)
{
    out.answered = true;
    out.answer = words({word_at(request, 0), word_at(request, 4), word_at(request, 2)});
    out.answer.insert(out.answer.end(), values.begin(), values.end());
}

Outcome Bus::handle(const Bytes& request, double now)
{
    Outcome out;
    if (request.size() < 6) {
        out.note = "message shorter than its header";
        return out;
    }
    const uint16_t code = word_at(request, 0);
    const uint16_t dev = word_at(request, 2);
    const uint8_t cls = static_cast<uint8_t>(code >> 8);
    const uint8_t low = static_cast<uint8_t>(code & 0xFF);
    const auto row = std::find_if(std::begin(devices::kFamilyTable), std::end(devices::kFamilyTable),
                                  [cls](const devices::Family& r) {
                                      return r.op_count > 0 && r.unit_class == cls;
                                  });
    if (row == std::end(devices::kFamilyTable)) {
        out.note = "unknown unit class";
        return out;
    }
    const std::string name = std::string(row->prefix, std::strlen(row->prefix) - 1);
    const devices::OpOffset* op = nullptr;
    for (size_t i = 0; i < row->op_count; ++i) {
        const devices::OpOffset& o = row->ops[i];
        if (low >= o.offset && low <= o.offset + row->highest) {
            op = &o;
        }
    }
    if (op == nullptr) {
        out.note = "unknown " + name + " operation";
        return out;
    }
    const int unit = low - op->offset;
    if (dev != row->base + unit) {
        out.note = name + " message to a foreign address";
        return out;
    }
    out.known = true;
    out.family = row->id;
    out.op = op->op;
    out.unit = unit;
    out.note = name + " " + std::to_string(unit) + " " + op_name(op->op);
    ++requests_;
    serve(out, request, now);
    return out;
}

void Bus::serve(Outcome& out, const Bytes& req, double now)
{
    const FamilyId f = out.family;
    const int n = out.unit;
    const bool on = units_.on(f, n);
    auto value16 = [&](int16_t& v) {
        if (req.size() < 8) {
            out.note += ": value missing";
            return false;
        }
        v = static_cast<int16_t>(word_at(req, 6));
        return true;
    };
    int16_t v = 0;
    switch (out.op) {
    case Op::request_reset:
        reset(f, n);
        return;
    case Op::set_minvalue:
        if (on && value16(v)) {
            (f == F::light_sensor ? units_.light_min : units_.sun_min)[n] =
                static_cast<uint16_t>(v);
        }
        return;
    case Op::set_calibrate:
        if (on && req.size() >= 7) {
            units_.light_calibrate[n] = req[6];
        }
        return;
    case Op::request_raw:
        if (f == F::sunbattery) {
            answer_values(out, req, words({sensors_.sun_battery(physics_, n)}));
        } else if (f == F::light_sensor) {
            uint16_t r = on ? sensors_.light(physics_, n) : 0;
            answer_values(out, req, words({r < units_.light_min[n] ? uint16_t{0} : r}));
        } else if (f == F::sun_sensor) {
            uint16_t p = 0;
            uint16_t q = 0;
            if (on) {
                sensors_.sun(physics_, n, p, q);
            }
            const uint16_t m = units_.sun_min[n];
            answer_values(out, req, words({p < m ? uint16_t{0} : p, q < m ? uint16_t{0} : q}));
        } else {
            const Axes a = !on                    ? Axes{}
                           : f == F::hyro         ? sensors_.gyro(physics_)
                           : f == F::magnetometer ? sensors_.mag(physics_)
                                                  : sensors_.accel(physics_);
            const auto w = axis_words(devices::family(f), a);
            answer_values(out, req, words({w[0], w[1], w[2]}));
        }
        return;
    case Op::request_maxraw:
        if (f == F::sun_sensor) {
            answer_values(out, req, words({kAdcMax, kAdcMax}));
        } else {
            answer_values(out, req, words({kAdcMax}));
        }
        return;
    case Op::set_value:
    case Op::set_speed: {
        if (f == F::arm) {
            if (req.size() < 7) {
                out.note += ": value missing";
                return;
            }
            if (on) {
                units_.arm[n] = req[6];
            }
            answer_values(out, req, words({units_.arm[n]}));
            return;
        }
        if (!value16(v)) {
            return;
        }
        // An unpowered unit answers with what it holds and takes nothing.
        int16_t taken = 0;
        if (f == F::motor || f == F::fan) {
            const bool motor = f == F::motor;
            if (on) {
                motor ? physics_.set_motor_command(n, v) : physics_.set_fan_command(n, v);
            }
            taken = static_cast<int16_t>(
                std::lround(motor ? physics_.motor_command(n) : physics_.fan_command(n)));
        } else if (f == F::coil) {
            if (on) {
                units_.coil[n] = static_cast<int16_t>(
                    std::clamp<int>(v, -kActuatorFullScale, kActuatorFullScale));
                physics_.set_coil(n, units_.coil[n]);
            }
            taken = units_.coil[n];
        } else if (f == F::engine) {
            if (on) {
                units_.engine[n] = static_cast<int16_t>(std::clamp<int>(v, 0, kActuatorFullScale));
                physics_.set_engine(n, units_.engine[n]);
            }
            taken = units_.engine[n];
        }
        answer_values(out, req, words({static_cast<uint16_t>(taken)}));
        return;
    }
    case Op::request_speed: {
        const double rpm = f == F::motor ? physics_.motor_rpm(n) : physics_.fan_rpm(n);
        answer_values(out, req, words({static_cast<uint16_t>(static_cast<int16_t>(std::lround(rpm)))}));
        return;
    }
    case Op::turn_on:
    case Op::turn_off:
        units_.on(f, n) = out.op == Op::turn_on;
        answer_values(out, req, words({static_cast<uint16_t>(units_.on(f, n))}));
        return;
    case Op::request_state: {
        const float q = sensors_.receiver_quality();
        Bytes b(4);
        std::memcpy(b.data(), &q, 4);  // little-endian IEEE single on this host
        answer_values(out, req, b);
        return;
    }
    case Op::send: {
        if (req.size() < 9) {
            out.note += ": no data";
            return;
        }
        const uint16_t rx = word_at(req, 6);
        if (!on || rx >= kMaxUnits || !units_.on(F::transceiver, rx)) {
            out.note += ": lost (a transceiver is off)";
            return;
        }
        auto& buf = units_.transceiver[rx];
        buf.fill(0);
        std::copy_n(req.begin() + 8, std::min(req.size() - 8, buf.size()), buf.begin());
        out.note += " to " + std::to_string(rx);
        return;
    }
    case Op::request_buff: {
        const auto& buf = units_.transceiver[n];
        answer_values(out, req, on ? Bytes(buf.begin(), buf.end()) : Bytes(kTransceiverBuffer, 0));
        return;
    }
    case Op::message: {
        if (req.size() < 8) {
            out.note += ": no message id";
            return;
        }
        const uint16_t id = word_at(req, 6);
        const std::string args(req.begin() + 8, req.end());
        Bytes values = words({id});
        if (id == kPassEcho) {
            const Bytes t = text(args);
            values.insert(values.end(), t.begin(), t.end());
        } else if (id == kPassVersion) {
            const Bytes t = text(kSimVersion);
            values.insert(values.end(), t.begin(), t.end());
        } else if (id == kPassUptime) {
            const Bytes t = text(std::to_string(static_cast<long long>(now * 1000.0)));
            values.insert(values.end(), t.begin(), t.end());
        } else {
            out.note += ": message id " + std::to_string(id) + " has no handler";
            return;
        }
        answer_values(out, req, values);
        return;
    }
    }
}

}  // namespace kelvex::sim
