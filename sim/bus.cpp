#include "bus.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kelvex::sim {
namespace {

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
    static const char* const names[] = {"reset",    "raw",      "maxraw",  "set_minvalue",
                                        "set_calibrate", "set_value", "request_speed",
                                        "turn_on",  "turn_off", "request_state", "send",
                                        "request_buff", "message"};
    return names[static_cast<size_t>(op)];
}

}  // namespace

bool is_greeting(const Bytes& message)
{
    static const uint8_t hi[] = {'H', 'I', ' ', 'A', 'L', 'L', '!', 0};
    return message.size() == sizeof hi && std::equal(message.begin(), message.end(), hi);
}

void Bus::reset(Family f, int unit)
{
    units_.resets[static_cast<size_t>(f)][unit]++;
    if (f != Family::Transmitter) {
        units_.on(f, unit) = true;
    }
    switch (f) {
    case Family::Arm: units_.arm[unit] = 0; break;
    case Family::Motor: physics_.set_motor_command(unit, 0); break;
    case Family::Fan: physics_.set_fan_command(unit, 0); break;
    case Family::Coil:
        units_.coil[unit] = 0;
        physics_.set_coil(unit, 0);
        break;
    case Family::Engine:
        units_.engine[unit] = 0;
        physics_.set_engine(unit, 0);
        break;
    case Family::LightSensor:
        units_.light_min[unit] = 0;
        units_.light_calibrate[unit] = 0;
        break;
    case Family::SunSensor: units_.sun_min[unit] = 0; break;
    case Family::Transceiver: units_.transceiver[unit].fill(0); break;
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
    const auto row = std::find_if(std::begin(kFamilies), std::end(kFamilies),
                                  [cls](const FamilyRow& r) { return r.unit_class == cls; });
    if (row == std::end(kFamilies)) {
        out.note = "unknown unit class";
        return out;
    }
    const OpRow* op = nullptr;
    for (int i = 0; i < row->op_count; ++i) {
        const OpRow& o = row->ops[i];
        if (low >= o.offset && low < o.offset + row->units) {
            op = &o;
        }
    }
    if (op == nullptr) {
        out.note = std::string("unknown ") + row->name + " operation";
        return out;
    }
    const int unit = low - op->offset;
    if (dev != row->base + unit) {
        out.note = std::string(row->name) + " message to a foreign address";
        return out;
    }
    out.known = true;
    out.family = row->family;
    out.op = op->op;
    out.unit = unit;
    out.note = std::string(row->name) + " " + std::to_string(unit) + " " + op_name(op->op);
    ++requests_;
    serve(out, request, now);
    return out;
}

void Bus::serve(Outcome& out, const Bytes& req, double now)
{
    const Family f = out.family;
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
    case Op::Reset:
        reset(f, n);
        return;
    case Op::SetMinValue:
        if (on && value16(v)) {
            (f == Family::LightSensor ? units_.light_min : units_.sun_min)[n] =
                static_cast<uint16_t>(v);
        }
        return;
    case Op::SetCalibrate:
        if (on && req.size() >= 7) {
            units_.light_calibrate[n] = req[6];
        }
        return;
    case Op::Raw:
        if (f == Family::SunBattery) {
            answer_values(out, req, words({sensors_.sun_battery(physics_, n)}));
        } else if (f == Family::LightSensor) {
            uint16_t r = on ? sensors_.light(physics_, n) : 0;
            answer_values(out, req, words({r < units_.light_min[n] ? uint16_t{0} : r}));
        } else if (f == Family::SunSensor) {
            uint16_t p = 0;
            uint16_t q = 0;
            if (on) {
                sensors_.sun(physics_, n, p, q);
            }
            const uint16_t m = units_.sun_min[n];
            answer_values(out, req, words({p < m ? uint16_t{0} : p, q < m ? uint16_t{0} : q}));
        } else {
            const Axes a = !on                       ? Axes{}
                           : f == Family::Gyroscope ? sensors_.gyro(physics_)
                           : f == Family::Magnetometer ? sensors_.mag(physics_)
                                                       : sensors_.accel(physics_);
            const RawWords w = f == Family::Gyroscope      ? gyro_words(a)
                               : f == Family::Magnetometer ? mag_words(a)
                                                           : accel_words(a);
            answer_values(out, req, words({w.w3, w.w4, w.w5}));
        }
        return;
    case Op::MaxRaw:
        if (f == Family::SunSensor) {
            answer_values(out, req, words({kAdcMax, kAdcMax}));
        } else {
            answer_values(out, req, words({kAdcMax}));
        }
        return;
    case Op::SetValue: {
        if (f == Family::Arm) {
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
        if (f == Family::Motor || f == Family::Fan) {
            const bool motor = f == Family::Motor;
            if (on) {
                motor ? physics_.set_motor_command(n, v) : physics_.set_fan_command(n, v);
            }
            taken = static_cast<int16_t>(
                std::lround(motor ? physics_.motor_command(n) : physics_.fan_command(n)));
        } else if (f == Family::Coil) {
            if (on) {
                units_.coil[n] = static_cast<int16_t>(
                    std::clamp<int>(v, -kActuatorFullScale, kActuatorFullScale));
                physics_.set_coil(n, units_.coil[n]);
            }
            taken = units_.coil[n];
        } else if (f == Family::Engine) {
            if (on) {
                units_.engine[n] = static_cast<int16_t>(std::clamp<int>(v, 0, kActuatorFullScale));
                physics_.set_engine(n, units_.engine[n]);
            }
            taken = units_.engine[n];
        }
        answer_values(out, req, words({static_cast<uint16_t>(taken)}));
        return;
    }
    case Op::RequestSpeed: {
        const double rpm = f == Family::Motor ? physics_.motor_rpm(n) : physics_.fan_rpm(n);
        answer_values(out, req, words({static_cast<uint16_t>(static_cast<int16_t>(std::lround(rpm)))}));
        return;
    }
    case Op::TurnOn:
    case Op::TurnOff:
        units_.on(f, n) = out.op == Op::TurnOn;
        answer_values(out, req, words({static_cast<uint16_t>(units_.on(f, n))}));
        return;
    case Op::RequestState: {
        const float q = sensors_.receiver_quality();
        Bytes b(4);
        std::memcpy(b.data(), &q, 4);  // little-endian IEEE single on this host
        answer_values(out, req, b);
        return;
    }
    case Op::Send: {
        if (req.size() < 9) {
            out.note += ": no data";
            return;
        }
        const uint16_t rx = word_at(req, 6);
        if (!on || rx >= kMaxUnits || !units_.on(Family::Transceiver, rx)) {
            out.note += ": lost (a transceiver is off)";
            return;
        }
        auto& buf = units_.transceiver[rx];
        buf.fill(0);
        std::copy_n(req.begin() + 8, std::min(req.size() - 8, buf.size()), buf.begin());
        out.note += " to " + std::to_string(rx);
        return;
    }
    case Op::RequestBuff: {
        const auto& buf = units_.transceiver[n];
        answer_values(out, req, on ? Bytes(buf.begin(), buf.end()) : Bytes(kTransceiverBuffer, 0));
        return;
    }
    case Op::Message: {
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
