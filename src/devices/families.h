// The unit families: one constexpr row each, the single source of every unit
// class, base address, highest unit number, state table and consumption
// constant of the device API. Their operations and offsets come from the
// rows of operation_list.h.
//
// How to extend it:
// - A new operation of an existing family: see operation_list.h. Naming an
//   operation a family's rows lack does not compile (target<>()).
// - A new family: a FamilyId (before `count`), its consumption constant, its
//   state table in UnitStates when its units are switched, one row in
//   kFamilyTable at the FamilyId's position, and its rows in
//   operation_list.h. The checks at the end of this file and of
//   operations.h keep ids, address blocks, offsets, state table sizes and
//   rows consistent.
//
// Which common operations a family has follows from its rows: request_reset
// when it lists Op::request_reset; get_state, turn_on and turn_off when it has
// a state table (turn_on sends the reset only when there is one). A family
// that lists Op::turn_on/Op::turn_off switches with messages of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "operation_list.h"

namespace kelvex::devices {

enum class FamilyId : uint8_t {
    arm,
    sunbattery,
    light_sensor,
    sun_sensor,
    accelerometer,
    magnetometer,
    hyro,
    motor,
    fan,
    coil,
    engine,
    transmitter,
    receiver,
    transceiver,
    controller,
    camera,
    count
};

enum class Op : uint8_t {
#define KELVEX_WIRE_OP(name) name,
    KELVEX_WIRE_OPS(KELVEX_WIRE_OP)
#undef KELVEX_WIRE_OP
        none  // not on the wire: what a row of operation_list.h names when nothing is sent
};

inline constexpr size_t kWireOpCount = static_cast<size_t>(Op::none);

// The operation's name as the rows spell it; "none" for anything else.
constexpr const char* op_name(Op op)
{
    constexpr const char* kNames[] = {
#define KELVEX_WIRE_OP_NAME(name) #name,
        KELVEX_WIRE_OPS(KELVEX_WIRE_OP_NAME)
#undef KELVEX_WIRE_OP_NAME
    };
    static_assert(sizeof kNames / sizeof kNames[0] == kWireOpCount, "one name per operation");
    const size_t i = static_cast<size_t>(op);
    return i < kWireOpCount ? kNames[i] : "none";
}

// Current draw of one switched-on unit, milliamperes.
inline constexpr float fArmConsumption = 0.0f;
inline constexpr float fLightsensorConsumption = 45.0f;
inline constexpr float fSunsensorConsumption = 45.0f;
inline constexpr float fAccelerometerConsumption = 0.0f;
inline constexpr float fMagnetometerConsumption = 40.0f;
inline constexpr float fHyroConsumption = 40.0f;
inline constexpr float fMotorConsumption = 2000.0f;
inline constexpr float fFanConsumption = 0.0f;
inline constexpr float fCoilConsumption = 0.0f;
inline constexpr float fEngineConsumption = 0.0f;
inline constexpr float fTransmitterConsumption = 6100.0f;
inline constexpr float fTransceiverConsumption = 210.0f;
inline constexpr float fCameraConsumption = 200.0f;

// Switched-on tables, 0 off and 1 on, one entry per unit. They record what
// this library switched; nothing is read back from the units. Rows refer to
// them by offset so that the table stays pure data, usable by the test suites
// without reaching into the library's storage.
struct UnitStates {
    int bArmState[4];
    int bLightsensorState[8];
    int bSunsensorState[8];
    int bAccelerometerState[4];
    int bMagnetometerState[4];
    int bHyroState[4];
    int bMotorState[4];
    int bFanState[4];
    int bCoilState[16];
    int bEngineState[4];
    int bTransmitterState[4];
    int bTransceiverState[16];
    int bCameraState[1];
};

struct StateTable {
    size_t offset = 0;
    uint16_t entries = 0;  // 0: the family is never switched
};

#define KELVEX_STATE_TABLE(name) \
    ::kelvex::devices::StateTable{offsetof(UnitStates, name), sizeof(UnitStates::name) / sizeof(int)}

inline constexpr StateTable kNoStateTable{};

struct OpOffset {
    Op op;
    uint8_t offset;
};

// One output of a three-axis read: which answer word (0 is byte offset 6)
// and whether it is negated.
struct Axis {
    uint8_t word;
    bool negate;
};
using Axes = std::array<Axis, 3>;

inline constexpr size_t kMaxOps = 5;

struct Family {
    FamilyId id;
    const char* prefix;
    uint8_t unit_class;  // high byte of msg_code
    uint16_t base;       // dev_addr of unit 0
    uint16_t highest;    // highest unit number accepted
    std::array<OpOffset, kMaxOps> ops;
    size_t op_count;
    StateTable state;
    float consumption;
    uint8_t set_attempts;  // of the set-and-confirm exchange
    Axes axes;             // of the three-axis read

    constexpr bool switched() const { return state.entries != 0; }

    constexpr bool has(Op op) const
    {
        for (size_t i = 0; i < op_count; ++i) {
            if (ops[i].op == op) {
                return true;
            }
        }
        return false;
    }

    constexpr uint8_t offset(Op op) const
    {
        for (size_t i = 0; i < op_count; ++i) {
            if (ops[i].op == op) {
                return ops[i].offset;
            }
        }
        return 0;
    }

    constexpr Family attempts(uint8_t n) const
    {
        Family f = *this;
        f.set_attempts = n;
        return f;
    }

    constexpr Family axis_order(Axes a) const
    {
        Family f = *this;
        f.axes = a;
        return f;
    }
};

// The wire operations of every row of operation_list.h.
struct WireRow {
    FamilyId family;
    Op op;
    uint8_t offset;
};

inline constexpr WireRow kWireRows[] = {
#define KELVEX_WIRE_ROW(name, family, op, offset, ...) {FamilyId::family, Op::op, offset},
    KELVEX_DEVICE_OPERATIONS(KELVEX_WIRE_ROW)
#undef KELVEX_WIRE_ROW
};

// A family row; its operations and offsets are those operation_list.h gives it.
constexpr Family row(FamilyId id, const char* prefix, uint8_t unit_class, uint16_t base, uint16_t highest,
                     StateTable state, float consumption)
{
    Family f{id, prefix, unit_class, base, highest, {}, 0, state, consumption, 0, {}};
    for (const WireRow& w : kWireRows) {
        if (w.family == id && w.op != Op::none && !f.has(w.op)) {
            f.ops[f.op_count++] = OpOffset{w.op, w.offset};
        }
    }
    return f;
}

inline constexpr Axis minus(uint8_t word) { return {word, true}; }
inline constexpr Axis plus(uint8_t word) { return {word, false}; }

using F = FamilyId;

// clang-format off
inline constexpr Family kFamilyTable[] = {
    //  family           prefix            class  base   B
    row(F::arm,          "arm_",           0x27, 0x270,  3, KELVEX_STATE_TABLE(bArmState), fArmConsumption).attempts(3),
    row(F::sunbattery,   "sunbattery_",    0x23, 0x230,  7, kNoStateTable, 0.0f),
    row(F::light_sensor, "light_sensor_",  0x02, 0x010,  7, KELVEX_STATE_TABLE(bLightsensorState), fLightsensorConsumption),
    row(F::sun_sensor,   "sun_sensor_",    0x05, 0x020,  7, KELVEX_STATE_TABLE(bSunsensorState), fSunsensorConsumption),
    row(F::accelerometer, "accelerometer_", 0x06, 0x028, 3, KELVEX_STATE_TABLE(bAccelerometerState), fAccelerometerConsumption)
        .axis_order({minus(0), minus(1), minus(2)}),
    row(F::magnetometer, "magnetometer_",  0x03, 0x018,  3, KELVEX_STATE_TABLE(bMagnetometerState), fMagnetometerConsumption)
        .axis_order({minus(0), minus(2), minus(1)}),
    row(F::hyro,         "hyro_",          0x04, 0x01C,  3, KELVEX_STATE_TABLE(bHyroState), fHyroConsumption)
        .axis_order({minus(1), plus(0), minus(2)}),
    row(F::motor,        "motor_",         0x0D, 0x100,  3, KELVEX_STATE_TABLE(bMotorState), fMotorConsumption).attempts(5),
    row(F::fan,          "fan_",           0x0E, 0x110,  3, KELVEX_STATE_TABLE(bFanState), fFanConsumption).attempts(5),
    row(F::coil,         "coil_",          0x0F, 0x120, 15, KELVEX_STATE_TABLE(bCoilState), fCoilConsumption).attempts(2),
    row(F::engine,       "engine_",        0x10, 0x130,  3, KELVEX_STATE_TABLE(bEngineState), fEngineConsumption).attempts(2),
    row(F::transmitter,  "transmitter_",   0x20, 0x200,  3, KELVEX_STATE_TABLE(bTransmitterState), fTransmitterConsumption),
    row(F::receiver,     "receiver_",      0x21, 0x210, 15, kNoStateTable, 0.0f),
    row(F::transceiver,  "transceiver_",   0x22, 0x220, 15, KELVEX_STATE_TABLE(bTransceiverState), fTransceiverConsumption),
    row(F::controller,   "arduino_",       0x28, 0x280, 15, kNoStateTable, 0.0f),
    // Served by the board itself: no bus messages, no unit number (always 0).
    row(F::camera,       "camera_",        0x00, 0x000,  0, KELVEX_STATE_TABLE(bCameraState), fCameraConsumption),
};
// clang-format on

inline constexpr size_t kFamilyCount = static_cast<size_t>(FamilyId::count);

constexpr const Family& family(FamilyId id) { return kFamilyTable[static_cast<size_t>(id)]; }

constexpr size_t unit_count(FamilyId id) { return family(id).highest + size_t{1}; }

// An operation of a family, resolved at compile time.
struct Target {
    const Family* family;
    Op op;
    uint8_t offset;
};

template <FamilyId Id, Op O>
constexpr Target target()
{
    static_assert(family(Id).has(O), "the family has no such operation");
    return Target{&family(Id), O, family(Id).offset(O)};
}

// Consistency of the table, checked when anything includes it.
namespace check {

constexpr bool ids_match_positions()
{
    for (size_t i = 0; i < kFamilyCount; ++i) {
        if (static_cast<size_t>(kFamilyTable[i].id) != i) {
            return false;
        }
    }
    return true;
}

constexpr bool state_tables_cover_units()
{
    for (const Family& f : kFamilyTable) {
        if (f.switched() && f.state.entries != f.highest + 1) {
            return false;
        }
    }
    return true;
}

// The unit numbers of one operation never reach the next operation's codes.
constexpr bool offsets_apart()
{
    for (const Family& f : kFamilyTable) {
        for (size_t i = 0; i < f.op_count; ++i) {
            for (size_t j = 0; j < f.op_count; ++j) {
                const unsigned a = f.ops[i].offset;
                const unsigned b = f.ops[j].offset;
                if (i != j && a <= b && b <= a + f.highest) {
                    return false;
                }
            }
            if (f.ops[i].offset + f.highest > 0xFF) {
                return false;
            }
        }
    }
    return true;
}

// Every family on the bus has an address block of its own.
constexpr bool blocks_apart()
{
    for (const Family& f : kFamilyTable) {
        for (const Family& g : kFamilyTable) {
            if (&f == &g || f.op_count == 0 || g.op_count == 0) {
                continue;
            }
            if (f.unit_class == g.unit_class) {
                return false;
            }
            if (f.base <= g.base && g.base <= f.base + f.highest) {
                return false;
            }
        }
    }
    return true;
}

// Rows of operation_list.h that name one operation of a family agree on its
// offset, and no family lists more operations than a row holds.
constexpr bool wire_rows_agree()
{
    for (const WireRow& w : kWireRows) {
        if (w.op == Op::none) {
            continue;
        }
        for (const WireRow& v : kWireRows) {
            if (v.family == w.family && v.op == w.op && v.offset != w.offset) {
                return false;
            }
        }
        if (family(w.family).op_count > kMaxOps || family(w.family).offset(w.op) != w.offset) {
            return false;
        }
    }
    return true;
}

static_assert(sizeof(kFamilyTable) / sizeof(kFamilyTable[0]) == kFamilyCount, "one row per family");
static_assert(wire_rows_agree(), "rows of one operation give different offsets");
static_assert(ids_match_positions(), "rows must follow the FamilyId order");
static_assert(state_tables_cover_units(), "a state table has one entry per unit");
static_assert(offsets_apart(), "operation offsets overlap within a family");
static_assert(blocks_apart(), "unit classes or address blocks overlap");

}  // namespace check

}  // namespace kelvex::devices
