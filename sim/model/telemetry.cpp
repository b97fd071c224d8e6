#include "model/telemetry.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>

namespace kelvex::sim {

std::string telemetry_header()
{
    std::string h =
        "t,yaw_deg,rate_dps,wheel_rpm,lamp_angle_deg,lamp_azimuth_deg,wheel_cmd_rpm,"
        "momentum_nms,torque_nm,sunbattery0_raw";
    for (const devices::Family& row : devices::kFamilyTable) {
        if (row.op_count > 0) {
            h += std::string(",") + row.prefix + "on";
        }
    }
    h += ",requests,dropped,corrupted,late,glued,lamp_on";
    return h;
}

std::string Telemetry::header() const
{
    std::string h = telemetry_header();
    for (const Column& c : columns_) {
        h += "," + c.name;
    }
    return h;
}

void Telemetry::add_column(std::string name, const char* format, std::function<double()> value)
{
    columns_.push_back({std::move(name), format, std::move(value)});
}

Telemetry::Telemetry(const std::string& csv_path, double rate_hz, const std::string& state_path)
    : period_(rate_hz > 0 ? 1.0 / rate_hz : 0), state_path_(state_path)
{
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
    // Sun battery 0 faces +x like the camera: the charge the battery model
    // would see, without noise.
    const double incidence = std::cos(p.lamp_angle_deg() * 3.14159265358979323846 / 180.0);
    const double sb0 = kAdcMax * p.lamp_intensity() * std::max(0.0, incidence);
    FILE* f = csv_.get();
    if (!header_written_) {
        std::fprintf(f, "%s\n", header().c_str());
        header_written_ = true;
    }
    std::fprintf(f, "%.3f,%.3f,%.3f,%.1f,%.3f,%.3f,%.1f,%.6g,%.6g,%.0f", p.time(), p.yaw_deg(),
                 p.rate_dps(), p.motor_rpm(0), p.lamp_angle_deg(), p.lamp_azimuth_deg(),
                 p.motor_command(0), p.momentum(), p.external_torque(), sb0);
    for (const devices::Family& row : devices::kFamilyTable) {
        if (row.op_count > 0) {
            std::fprintf(f, ",%u", bus.units().mask(row.id));
        }
    }
    const FaultCounts& c = faults.counts();
    std::fprintf(f, ",%llu,%llu,%llu,%llu,%llu,%d", static_cast<unsigned long long>(bus.requests()),
                 static_cast<unsigned long long>(c.dropped),
                 static_cast<unsigned long long>(c.corrupted),
                 static_cast<unsigned long long>(c.late), static_cast<unsigned long long>(c.glued),
                 p.lamp_on() ? 1 : 0);
    for (const Column& col : columns_) {
        std::fputc(',', f);
        std::fprintf(f, col.format, col.value());
    }
    std::fputc('\n', f);
    std::fflush(f);
}

void Telemetry::write_state(const Physics& p)
{
    // Readers must never see half a file: write aside, then rename over.
    const std::string tmp = state_path_ + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        return;
    }
    std::fprintf(f,
                 "t=%.3f\nyaw_deg=%.3f\nrate_dps=%.3f\nlamp_azimuth_deg=%.3f\n"
                 "lamp_angle_deg=%.3f\nwheel_rpm=%.1f\n",
                 p.time(), p.yaw_deg(), p.rate_dps(), p.lamp_azimuth_deg(), p.lamp_angle_deg(),
                 p.motor_rpm(0));
    for (const auto& [key, on] : flags_) {
        std::fprintf(f, "%s=%d\n", key.c_str(), on ? 1 : 0);
    }
    if (std::fclose(f) == 0) {
        std::rename(tmp.c_str(), state_path_.c_str());
    }
}

}  // namespace kelvex::sim
