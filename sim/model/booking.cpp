#include "model/booking.h"

#include <algorithm>
#include <cmath>

namespace kelvex::sim {
namespace {

using devices::FamilyId;

// Float sums of the record: a draw matches within this much.
constexpr double kSlack = 0.5;

double draw(FamilyId f) { return devices::family(f).consumption; }

bool is_booked(const std::array<uint32_t, devices::kFamilyCount>& b, FamilyId f, int unit)
{
    return (b[static_cast<size_t>(f)] >> unit) & 1u;
}

}  // namespace

bool Booking::followed(FamilyId f) { return devices::family(f).switched() && draw(f) > 0; }

void Booking::heard(FamilyId f, int unit, bool on, double now)
{
    if (followed(f) && unit < 32) {
        heard_.push_back({f, unit, on, now});
    }
}

void Booking::book(const Unit& u, bool on)
{
    uint32_t& bits = booked_[static_cast<size_t>(u.family)];
    bits = on ? bits | (1u << u.unit) : bits & ~(1u << u.unit);
    booked_order_.erase(std::remove_if(booked_order_.begin(), booked_order_.end(),
                                       [&](const Unit& b) { return b.family == u.family && b.unit == u.unit; }),
                        booked_order_.end());
    if (on) {
        booked_order_.push_back(u);
    }
}

double Booking::take_on(double rise)
{
    for (auto it = heard_.begin(); it != heard_.end();) {
        if (it->on && !is_booked(booked_, it->family, it->unit) && draw(it->family) <= rise + kSlack) {
            rise -= draw(it->family);
            book(*it, true);
            it = heard_.erase(it);
        } else {
            ++it;
        }
    }
    // The camera is the board's own: nothing is heard when it is switched.
    if (!is_booked(booked_, FamilyId::camera, 0) && std::fabs(rise - draw(FamilyId::camera)) <= kSlack) {
        book({FamilyId::camera, 0, true, 0}, true);
        rise -= draw(FamilyId::camera);
    }
    return rise;
}

double Booking::take_off(double fall)
{
    for (auto it = heard_.begin(); it != heard_.end();) {
        if (!it->on && is_booked(booked_, it->family, it->unit) && draw(it->family) <= fall + kSlack) {
            fall -= draw(it->family);
            book(*it, false);
            it = heard_.erase(it);
        } else {
            ++it;
        }
    }
    // The largest draws first, the latest booked among equal ones: a fall
    // of 2000 mA is the motor, not fifty sensors.
    std::vector<Unit> candidates(booked_order_.rbegin(), booked_order_.rend());
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Unit& a, const Unit& b) { return draw(a.family) > draw(b.family); });
    for (const Unit& u : candidates) {
        if (fall > kSlack && draw(u.family) <= fall + kSlack) {
            fall -= draw(u.family);
            book(u, false);
        }
    }
    return fall;
}

void Booking::sample(double consumption_ma, double now)
{
    if (!std::isfinite(consumption_ma)) {
        return;
    }
    const double change = consumption_ma - last_;
    double left = 0;
    if (change > kSlack) {
        left = take_on(change);
    } else if (change < -kSlack) {
        left = -take_off(-change);
    }
    // What no switch explains yet waits a while for one; after that it is
    // the mission's own setting of the draw (set_discharging and the like).
    if (std::fabs(left) > kSlack && unexplained_since_ < 0) {
        unexplained_since_ = now;
    }
    if (std::fabs(left) <= kSlack || now - unexplained_since_ > kPatience) {
        left = 0;
        unexplained_since_ = -1;
    }
    last_ = consumption_ma - left;
    heard_.erase(std::remove_if(heard_.begin(), heard_.end(),
                                [&](const Unit& u) {
                                    return is_booked(booked_, u.family, u.unit) == u.on || now - u.at > kPatience;
                                }),
                 heard_.end());
}

}  // namespace kelvex::sim
