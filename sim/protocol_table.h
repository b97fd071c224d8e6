// The bus controller's view of the unit families: one row per family with its
// unit class (high byte of msg_code), base address, number of units and the
// offsets of its operations in the low byte of msg_code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvex::sim {

enum class Family : uint8_t {
    Arm,
    SunBattery,
    LightSensor,
    SunSensor,
    Accelerometer,
    Magnetometer,
    Gyroscope,
    Motor,
    Fan,
    Coil,
    Engine,
    Transmitter,
    Receiver,
    Transceiver,
    Controller,
};
inline constexpr size_t kFamilyCount = 15;

enum class Op : uint8_t {
    Reset,
    Raw,
    MaxRaw,
    SetMinValue,
    SetCalibrate,
    SetValue,
    RequestSpeed,
    TurnOn,
    TurnOff,
    RequestState,
    Send,
    RequestBuff,
    Message,
};

struct OpRow {
    Op op;
    uint8_t offset;
};

struct FamilyRow {
    Family family;
    const char* name;  // also the telemetry column prefix
    uint8_t unit_class;
    uint16_t base;
    uint8_t units;
    uint8_t op_count;
    OpRow ops[5];
};

inline constexpr FamilyRow kFamilies[kFamilyCount] = {
    {Family::Arm, "arm", 0x27, 0x270, 4, 2, {{Op::SetValue, 0x00}, {Op::Reset, 0x10}}},
    {Family::SunBattery, "sunbattery", 0x23, 0x230, 8, 3,
     {{Op::Raw, 0x00}, {Op::Reset, 0x08}, {Op::MaxRaw, 0x10}}},
    {Family::LightSensor, "light", 0x02, 0x010, 8, 5,
     {{Op::Raw, 0x00}, {Op::Reset, 0x08}, {Op::MaxRaw, 0x10}, {Op::SetMinValue, 0x20},
      {Op::SetCalibrate, 0x28}}},
    {Family::SunSensor, "sun", 0x05, 0x020, 8, 4,
     {{Op::Raw, 0x00}, {Op::Reset, 0x08}, {Op::MaxRaw, 0x10}, {Op::SetMinValue, 0x20}}},
    {Family::Accelerometer, "accel", 0x06, 0x028, 4, 2, {{Op::Raw, 0x00}, {Op::Reset, 0x04}}},
    {Family::Magnetometer, "mag", 0x03, 0x018, 4, 2, {{Op::Raw, 0x00}, {Op::Reset, 0x04}}},
    {Family::Gyroscope, "gyro", 0x04, 0x01C, 4, 2, {{Op::Raw, 0x00}, {Op::Reset, 0x04}}},
    {Family::Motor, "motor", 0x0D, 0x100, 4, 3,
     {{Op::SetValue, 0x00}, {Op::Reset, 0x04}, {Op::RequestSpeed, 0x08}}},
    {Family::Fan, "fan", 0x0E, 0x110, 4, 3,
     {{Op::SetValue, 0x00}, {Op::Reset, 0x04}, {Op::RequestSpeed, 0x08}}},
    {Family::Coil, "coil", 0x0F, 0x120, 16, 2, {{Op::SetValue, 0x00}, {Op::Reset, 0x10}}},
    {Family::Engine, "engine", 0x10, 0x130, 4, 2, {{Op::SetValue, 0x00}, {Op::Reset, 0x10}}},
    {Family::Transmitter, "transmitter", 0x20, 0x200, 4, 3,
     {{Op::TurnOn, 0x00}, {Op::TurnOff, 0x04}, {Op::Reset, 0x08}}},
    {Family::Receiver, "receiver", 0x21, 0x210, 16, 2,
     {{Op::RequestState, 0x00}, {Op::Reset, 0x10}}},
    {Family::Transceiver, "transceiver", 0x22, 0x220, 16, 3,
     {{Op::Send, 0x00}, {Op::Reset, 0x10}, {Op::RequestBuff, 0x20}}},
    {Family::Controller, "controller", 0x28, 0x280, 16, 1, {{Op::Message, 0x00}}},
};

constexpr const FamilyRow& family_row(Family f) { return kFamilies[static_cast<size_t>(f)]; }

// Address of the board computer, the sender of every request.
inline constexpr uint16_t kComputerAddress = 1;

}  // namespace kelvex::sim
