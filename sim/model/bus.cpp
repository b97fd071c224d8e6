#include "model/bus.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/le.h"
#include "common/protocol.h"

namespace kelvex::sim {
namespace {

using common::kHeaderBytes;
using devices::Op;
using devices::OpKind;
using F = devices::FamilyId;

Bytes text(const std::string& s)
{
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}


}  // namespace

Bytes words(std::initializer_list<uint16_t> ws)
{
    Bytes b;
    for (uint16_t w : ws) {
        common::append_le16(b, w);
    }
    return b;
}

bool is_greeting(const Bytes& message)
{
    return message.size() == sizeof common::kGreeting &&
           std::equal(message.begin(), message.end(), common::kGreeting);
}

size_t Request::payload() const { return bytes.size() - kHeaderBytes; }

uint16_t Request::word(size_t i) const { return common::le16(bytes.data() + kHeaderBytes + 2 * i); }

Bus::Bus(Physics& physics, Sensors& sensors) : physics_(physics), sensors_(sensors)
{
    register_handlers();
    register_pass_through();
}

void Bus::register_handlers()
{
    auto on = [this](OpKind k, Handler h) { handlers_[static_cast<size_t>(k)] = h; };
    on(OpKind::reset, &Bus::on_reset);
    on(OpKind::setting, &Bus::on_setting);
    on(OpKind::read, &Bus::on_read);
    on(OpKind::read_axes, &Bus::on_read_axes);
    on(OpKind::read_buffer, &Bus::on_read_buffer);
    on(OpKind::set_and_confirm, &Bus::on_set_and_confirm);
    on(OpKind::confirmed_switch, &Bus::on_confirmed_switch);
    on(OpKind::send, &Bus::on_send);
    on(OpKind::message, &Bus::on_message);
}

void Bus::register_pass_through()
{
    pass_through_[kPassEcho] = [](const std::string& args, double) { return text(args); };
    pass_through_[kPassVersion] = [](const std::string&, double) { return text(kSimVersion); };
    pass_through_[kPassUptime] = [](const std::string&, double now) {
        return text(std::to_string(static_cast<long long>(now * 1000.0)));
    };
}

const devices::Operation* Bus::decode(const Bytes& request, Outcome& out, int& unit) const
{
    const uint16_t code = common::le16(request.data());
    const uint16_t dev = common::le16(request.data() + 2);
    const uint8_t cls = static_cast<uint8_t>(code >> 8);
    const uint8_t low = static_cast<uint8_t>(code & 0xFF);
    const auto row = std::find_if(std::begin(devices::kFamilyTable), std::end(devices::kFamilyTable),
                                  [cls](const devices::Family& r) { return r.op_count > 0 && r.unit_class == cls; });
    if (row == std::end(devices::kFamilyTable)) {
        out.note = "unknown unit class";
        return nullptr;
    }
    const std::string name = family_name(*row);
    const devices::OpOffset* op = nullptr;
    for (size_t i = 0; i < row->op_count; ++i) {
        const devices::OpOffset& o = row->ops[i];
        if (low >= o.offset && low <= o.offset + row->highest) {
            op = &o;
        }
    }
    if (op == nullptr) {
        out.note = "unknown " + name + " operation";
        return nullptr;
    }
    unit = low - op->offset;
    if (dev != row->base + unit) {
        out.note = name + " message to a foreign address";
        return nullptr;
    }
    out.note = name + " " + std::to_string(unit) + " " + devices::op_name(op->op);
    return devices::operation_of(row->id, op->op);
}

Outcome Bus::handle(const Bytes& bytes, double now)
{
    Outcome out;
    if (bytes.size() < kHeaderBytes) {
        out.note = "message shorter than its header";
        return out;
    }
    int unit = 0;
    const devices::Operation* operation = decode(bytes, out, unit);
    if (operation == nullptr) {
        return out;
    }
    const Request r{bytes, *operation, unit, now, units_.on(operation->family, unit)};
    out.known = true;
    out.family = r.family();
    out.op = r.op();
    out.unit = unit;
    ++requests_;
    const UnitState& state = units_.at(r.family(), unit);
    if (state.dead) {
        out.note += ": the unit is dead";
        return out;
    }
    if (const Handler h = handlers_[static_cast<size_t>(operation->kind)]) {
        (this->*h)(r, out);
    }
    if (out.answered && !state.stuck.empty() && r.op() == Op::request_raw) {
        out.answer.resize(kHeaderBytes);
        out.answer.insert(out.answer.end(), state.stuck.begin(), state.stuck.end());
    }
    if (const Intercept& hook = intercepts_[static_cast<size_t>(r.family())]) {
        hook(r, out);
    }
    return out;
}

void Bus::answer(Outcome& out, const Request& r, const Bytes& values) const
{
    const uint8_t* h = r.bytes.data();
    out.answered = true;
    out.answer = words({common::le16(h), common::le16(h + 4), common::le16(h + 2)});
    out.answer.insert(out.answer.end(), values.begin(), values.end());
}

int16_t Bus::actuate(const Request& r, int16_t value, bool on)
{
    const UnitModel* model = unit_model(r.family());
    int16_t& held = units_.at(r.family(), r.unit).held;
    if (model && model->actuate) {
        held = model->actuate(parts_, r.unit, value, on);
    } else if (on) {
        held = value;
    }
    return held;
}

void Bus::on_reset(const Request& r, Outcome&)
{
    UnitState& u = units_.at(r.family(), r.unit);
    ++u.resets;
    // Units that switch with messages of their own stay as they are.
    if (!devices::family(r.family()).has(Op::turn_on)) {
        u.powered = true;
    }
    u.held = 0;
    u.settings.fill(0);
    u.received.fill(0);
    if (const UnitModel* model = unit_model(r.family()); model && model->actuate) {
        model->actuate(parts_, r.unit, 0, true);
    }
}

void Bus::on_setting(const Request& r, Outcome& out)
{
    if (!r.on) {
        return;
    }
    const size_t width = r.operation.value_bytes;
    if (r.payload() < width) {
        out.note += ": value missing";
        return;
    }
    units_.at(r.family(), r.unit).settings[static_cast<size_t>(r.op())] =
        width == 1 ? r.bytes[kHeaderBytes] : r.word(0);
}

Bytes Bus::values_of(const Request& r)
{
    const UnitModel* model = unit_model(r.family());
    if (r.operation.kind == OpKind::read_axes) {
        const Axes a = r.on && model && model->axes ? model->axes(parts_, r.unit) : Axes{};
        const auto w = axis_words(devices::family(r.family()), a);
        return words({w[0], w[1], w[2]});
    }
    // Every maximum read answers the converters' full scale, once per output.
    if (r.op() == Op::request_maxraw) {
        Bytes b;
        for (size_t i = 0; i < r.operation.output_bytes / 2u; ++i) {
            common::append_le16(b, kAdcMax);
        }
        return b;
    }
    for (const UnitModel::Read& read : model ? model->reads : std::vector<UnitModel::Read>{}) {
        if (read.op == r.op()) {
            return read.values(parts_, r);
        }
    }
    // A value the model does not simulate reads as zeros.
    return Bytes(r.operation.output_bytes, 0);
}

Bytes Bus::sample(FamilyId f, Op op, int unit, double now)
{
    const devices::Operation* operation = devices::operation_of(f, op);
    if (operation == nullptr || !units_.exists(f, unit) ||
        (operation->kind != OpKind::read && operation->kind != OpKind::read_axes)) {
        return {};
    }
    const devices::Family& row = devices::family(f);
    const Bytes header = words({static_cast<uint16_t>(row.unit_class << 8 | (row.offset(op) + unit)),
                                static_cast<uint16_t>(row.base + unit), 1});
    return values_of(Request{header, *operation, unit, now, true});
}

void Bus::on_read(const Request& r, Outcome& out) { answer(out, r, values_of(r)); }

void Bus::on_read_axes(const Request& r, Outcome& out) { answer(out, r, values_of(r)); }

void Bus::on_read_buffer(const Request& r, Outcome& out)
{
    const auto& buf = units_.at(r.family(), r.unit).received;
    Bytes values(r.operation.bytes, 0);
    if (r.on) {
        std::copy_n(buf.begin(), std::min(buf.size(), values.size()), values.begin());
    }
    answer(out, r, values);
}

void Bus::on_set_and_confirm(const Request& r, Outcome& out)
{
    const size_t width = r.operation.value_bytes;
    if (r.payload() < width) {
        out.note += ": value missing";
        return;
    }
    const int16_t v = width == 1 ? int16_t{r.bytes[kHeaderBytes]} : static_cast<int16_t>(r.word(0));
    answer(out, r, words({static_cast<uint16_t>(actuate(r, v, r.on))}));
}

void Bus::on_confirmed_switch(const Request& r, Outcome& out)
{
    bool& on = units_.on(r.family(), r.unit);
    on = r.op() == Op::turn_on;
    answer(out, r, words({static_cast<uint16_t>(on)}));
}

void Bus::on_send(const Request& r, Outcome& out)
{
    if (r.payload() < 3) {
        out.note += ": no data";
        return;
    }
    const uint16_t rx = r.word(0);
    if (!r.on || !units_.exists(F::transceiver, rx) || !units_.on(F::transceiver, rx)) {
        out.note += ": lost (a transceiver is off)";
        return;
    }
    auto& buf = units_.at(F::transceiver, rx).received;
    buf.fill(0);
    std::copy_n(r.bytes.begin() + kHeaderBytes + 2, std::min(r.payload() - 2, buf.size()), buf.begin());
    out.note += " to " + std::to_string(rx);
}

void Bus::on_message(const Request& r, Outcome& out)
{
    if (r.payload() < 2) {
        out.note += ": no message id";
        return;
    }
    const uint16_t id = r.word(0);
    const auto handler = pass_through_.find(id);
    if (handler == pass_through_.end()) {
        out.note += ": message id " + std::to_string(id) + " has no handler";
        return;
    }
    Bytes values = words({id});
    const Bytes t = handler->second(std::string(r.bytes.begin() + kHeaderBytes + 2, r.bytes.end()), r.now);
    values.insert(values.end(), t.begin(), t.end());
    answer(out, r, values);
}

}  // namespace kelvex::sim
