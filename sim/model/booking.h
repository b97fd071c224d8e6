// Which units the mission's battery record books, inferred from outside:
// the record holds only the summed draw, so each change of it is matched
// against the switches the controller heard (a unit's reset, which the
// device API's turn_on sends before it books the unit; a transmitter's
// answered on or off) and against the units booked before (a turn_off
// sends nothing, so a fall of the sum by a family's draw is taken for the
// unit of that family booked last). Families that draw nothing never show
// in the record and are not followed.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "devices/families.h"

namespace kelvex::sim {

class Booking {
public:
    static bool followed(devices::FamilyId f);

    // The controller heard unit `unit` of `f` switched on (its reset) or,
    // for a family with switch messages of its own, on or off.
    void heard(devices::FamilyId f, int unit, bool on, double now);
    // The record's summed draw at `now`, mA; NaN while there is no record.
    void sample(double consumption_ma, double now);

    // How long a switch heard waits for the record to show it, and a change
    // of the record for the switch to be heard (the two cross on the line).
    static constexpr double kPatience = 1.0;
    // Bit i set when unit i of `f` is booked.
    uint32_t mask(devices::FamilyId f) const { return booked_[static_cast<size_t>(f)]; }

private:
    struct Unit {
        devices::FamilyId family;
        int unit;
        bool on;
        double at;
    };
    double take_on(double rise);
    double take_off(double fall);
    void book(const Unit& u, bool on);

    std::vector<Unit> heard_;   // switches not yet seen in the record
    std::vector<Unit> booked_order_;
    std::array<uint32_t, devices::kFamilyCount> booked_{};
    double last_ = 0;        // the record's draw as explained so far
    double unexplained_since_ = -1;
};

}  // namespace kelvex::sim
