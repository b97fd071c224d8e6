#include "model/telemetry.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>

#include "json.h"
#include "number_text.h"
#include "model/battery_watch.h"
#include "model/booking.h"

namespace kelvex::sim {
namespace {

using Sources = TelemetrySources;

// Sun battery 0 faces +x like the camera: the charge the battery model
// would see, without noise.
double sun_battery_0(const Physics& p)
{
    const double incidence = std::cos(p.lamp_angle_deg() * 3.14159265358979323846 / 180.0);
    return kAdcMax * p.lamp_intensity() * std::max(0.0, incidence);
}

// What the record would book if every unit the controller saw switched on
// were still booked: the difference to battery_consumption_ma is what the
// mission switched off without telling the controller.
double controller_view_ma(const Bus& bus)
{
    double sum = 0;
    for (const devices::Family& f : devices::kFamilyTable) {
        if (f.switched() && f.op_count > 0) {
            sum += f.consumption * __builtin_popcount(bus.units().mask(f.id));
        }
    }
    return sum;
}

double count(uint64_t n) { return static_cast<double>(n); }

std::vector<TelemetryColumn> make_columns()
{
    std::vector<TelemetryColumn> c = {
        {"t", "%.3f", "s", [](Sources& s) { return s.physics.time(); }},
        {"yaw_deg", "%.3f", "deg", [](Sources& s) { return s.physics.yaw_deg(); }},
        {"rate_dps", "%.3f", "deg/s", [](Sources& s) { return s.physics.rate_dps(); }},
        {"wheel_rpm", "%.1f", "rpm", [](Sources& s) { return s.physics.motor_rpm(0); }},
        {"lamp_angle_deg", "%.3f", "deg", [](Sources& s) { return s.physics.lamp_angle_deg(); }},
        {"lamp_azimuth_deg", "%.3f", "deg", [](Sources& s) { return s.physics.lamp_azimuth_deg(); }},
        {"wheel_cmd_rpm", "%.1f", "rpm", [](Sources& s) { return s.physics.motor_command(0); }},
        {"momentum_nms", "%.6g", "N m s", [](Sources& s) { return s.physics.momentum(); }},
        {"torque_nm", "%.6g", "N m", [](Sources& s) { return s.physics.external_torque(); }},
        {"sunbattery0_raw", "%.0f", "counts", [](Sources& s) { return sun_battery_0(s.physics); }},
    };
    // Bit i set when unit i of the family is powered, as the controller saw it.
    for (const devices::Family& f : devices::kFamilyTable) {
        if (f.op_count > 0) {
            c.push_back({std::string(f.prefix) + "on", "%.0f", "units",
                         [id = f.id](Sources& s) { return static_cast<double>(s.bus.units().mask(id)); }});
        }
    }
    const std::vector<TelemetryColumn> counts = {
        {"requests", "%.0f", "messages", [](Sources& s) { return count(s.bus.requests()); }},
        {"dropped", "%.0f", "answers", [](Sources& s) { return count(s.faults.counts().dropped); }},
        {"corrupted", "%.0f", "answers", [](Sources& s) { return count(s.faults.counts().corrupted); }},
        {"late", "%.0f", "answers", [](Sources& s) { return count(s.faults.counts().late); }},
        {"glued", "%.0f", "answers", [](Sources& s) { return count(s.faults.counts().glued); }},
        {"lamp_on", "%.0f", "0/1", [](Sources& s) { return s.physics.lamp_on() ? 1.0 : 0.0; }},
        // The mission's battery record: NaN until it exists.
        {"battery_attached", "%.0f", "0/1", [](Sources& s) { return s.battery.record() ? 1.0 : 0.0; }},
        {"battery_charge_ah", "%.9g", "Ah", [](Sources& s) { return s.battery.charge_ah(); }},
        {"battery_consumption_ma", "%.6g", "mA", [](Sources& s) { return s.battery.consumption_ma(); }},
        {"battery_charging_ma", "%.6g", "mA", [](Sources& s) { return s.battery.charging_ma(); }},
        {"battery_sun_charging_ma", "%.0f", "mA",
         [](Sources& s) {
             return charging_law_ma(s.physics.lamp_intensity(), s.physics.lamp_angle_deg(), s.ncells);
         }},
        {"battery_controller_view_ma", "%.6g", "mA", [](Sources& s) { return controller_view_ma(s.bus); }},
    };
    c.insert(c.end(), counts.begin(), counts.end());
    // Bit i set when unit i of the family is booked, by the inference.
    for (const devices::Family& f : devices::kFamilyTable) {
        if (Booking::followed(f.id)) {
            c.push_back({std::string(f.prefix) + "booked", "%.0f", "units",
                         [id = f.id](Sources& s) { return static_cast<double>(s.booking.mask(id)); }});
        }
    }
    return c;
}

}  // namespace

const std::vector<TelemetryColumn>& telemetry_columns()
{
    static const std::vector<TelemetryColumn> columns = make_columns();
    return columns;
}

std::string telemetry_header()
{
    std::string h;
    for (const TelemetryColumn& c : telemetry_columns()) {
        h += (h.empty() ? "" : ",") + c.name;
    }
    return h;
}

std::string telemetry_description()
{
    std::string out = "[";
    for (const TelemetryColumn& c : telemetry_columns()) {
        out += std::string(out.size() > 1 ? ",\n" : "\n") + "  {\"name\": " + json_string(c.name) +
               ", \"format\": " + json_string(c.format) + ", \"unit\": " + json_string(c.unit) + "}";
    }
    return out + "\n]";
}

Telemetry::Telemetry(const std::string& csv_path, double rate_hz, const std::string& state_path,
                     BatteryWatch& battery, Booking& booking, int ncells)
    : period_(rate_hz > 0 ? 1.0 / rate_hz : 0),
      battery_(battery),
      booking_(booking),
      ncells_(ncells),
      state_path_(state_path),
      state_tmp_(state_path + ".tmp")
{
    for (const TelemetryColumn& c : telemetry_columns()) {
        texts_.emplace_back(c.format);
    }
    if (!csv_path.empty() && period_ > 0) {
        csv_.reset(std::fopen(csv_path.c_str(), "w"));
        if (!csv_) {
            throw std::system_error(errno, std::generic_category(), csv_path);
        }
    }
}

double Telemetry::next_due(const Physics& p) const
{
    double due = std::numeric_limits<double>::infinity();
    if (csv_) {
        due = next_row_;
    }
    if (!state_path_.empty()) {
        due = std::min(due, next_state_);
    }
    return std::max(0.0, due - p.time());
}

void Telemetry::update(const Physics& p, const Bus& bus, const Faults& faults)
{
    if (csv_ && p.time() >= next_row_) {
        write_row(p, bus, faults);
        // Keep the grid: a late wake-up does not shift later rows.
        while (next_row_ <= p.time()) {
            next_row_ += period_;
        }
    }
    if (!state_path_.empty() && p.time() >= next_state_) {
        write_state(p);
        next_state_ = p.time() + 1.0 / kStateRate;
    }
}

void Telemetry::finish(const Physics& p, const Bus& bus, const Faults& faults)
{
    if (csv_) {
        write_row(p, bus, faults);
    }
    if (!state_path_.empty()) {
        write_state(p);
    }
}

void Telemetry::write_row(const Physics& p, const Bus& bus, const Faults& faults)
{
    // One look for the battery record a row: every column of the row sees
    // the same record, and a record still missing costs one system call.
    battery_.look();
    // The *_booked columns show the inference as of this row.
    booking_.sample(battery_.consumption_ma(), p.time());
    TelemetrySources sources{p, bus, faults, battery_, booking_, ncells_};
    row_.clear();
    if (!header_written_) {
        row_ = telemetry_header() + "\n";
        header_written_ = true;
    }
    const std::vector<TelemetryColumn>& columns = telemetry_columns();
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) {
            row_ += ',';
        }
        texts_[i].append(row_, columns[i].value(sources));
    }
    row_ += '\n';
    // In one write: a live reader sees whole rows.
    std::fwrite(row_.data(), 1, row_.size(), csv_.get());
    std::fflush(csv_.get());
}

void Telemetry::write_state(const Physics& p)
{
    static const NumberText three("%.3f");
    static const NumberText one("%.1f");
    std::string& s = state_;
    s.clear();
    const auto line = [&s](const char* key, const NumberText& text, double value) {
        s += key;
        s += '=';
        text.append(s, value);
        s += '\n';
    };
    line("t", three, p.time());
    line("yaw_deg", three, p.yaw_deg());
    line("rate_dps", three, p.rate_dps());
    line("lamp_azimuth_deg", three, p.lamp_azimuth_deg());
    line("lamp_angle_deg", three, p.lamp_angle_deg());
    line("wheel_rpm", one, p.motor_rpm(0));
    for (const auto& [key, on] : flags_) {
        s += key;
        s += on ? "=1\n" : "=0\n";
    }
    // Readers must never see half a file: write aside, then rename over.
    const int fd = ::open(state_tmp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return;
    }
    const bool whole = ::write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
    if (::close(fd) == 0 && whole) {
        std::rename(state_tmp_.c_str(), state_path_.c_str());
    }
}

}  // namespace kelvex::sim
