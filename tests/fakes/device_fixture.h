// Fixture of the device API suites: the fake bus controller on G.fd, an
// attached battery record of the test's own, every unit switched off, and
// the exported shims of each family by its row in the family table.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "../src/devices/operations.h"
#include "fakes/fake_bus.h"
#include "fakes/shared_battery.h"
#include "kelvex/battery.h"
#include "kelvex/devices.h"
#include "kelvex/radio.h"
#include "kelvex/runner.h"

namespace kelvex::testing {

using devices::FamilyId;

struct CommonShims {
    FamilyId id;
    int (*request_reset)(uint16_t);
    int (*get_state)(uint16_t);
    int (*turn_on)(uint16_t);
    int (*turn_off)(uint16_t);
};

// A row's function as a call on a unit number, when it is one of the common
// operations' shape (the camera's take none).
template <auto Fn>
constexpr int (*common_shim())(uint16_t)
{
    using Type = decltype(Fn);
    if constexpr (std::is_same_v<Type, int (*)(uint16_t)>) {
        return Fn;
    } else if constexpr (std::is_same_v<Type, int (*)(void)>) {
        return [](uint16_t) { return Fn(); };
    } else {
        return nullptr;
    }
}

struct ShimRow {
    const devices::Operation& operation;
    int (*call)(uint16_t);
};

// clang-format off
inline const ShimRow kShimRows[] = {
#define KELVEX_SHIM_ROW(name, ...) {devices::operation(devices::OperationId::name), common_shim<&::name>()},
    KELVEX_DEVICE_OPERATIONS(KELVEX_SHIM_ROW)
#undef KELVEX_SHIM_ROW
};
// clang-format on

// The first row of a family and kind: hyro_ before its gyro_ aliases.
inline int (*shim_for(FamilyId id, devices::OpKind kind))(uint16_t)
{
    for (const ShimRow& r : kShimRows) {
        if (r.operation.family == id && r.operation.kind == kind) {
            return r.call;
        }
    }
    return nullptr;
}

inline std::vector<CommonShims> common_shims()
{
    using devices::OpKind;
    std::vector<CommonShims> all;
    for (const devices::Family& f : devices::kFamilyTable) {
        all.push_back({f.id, shim_for(f.id, OpKind::reset), shim_for(f.id, OpKind::get_state),
                       shim_for(f.id, OpKind::turn_on), shim_for(f.id, OpKind::turn_off)});
    }
    return all;
}

inline const std::vector<CommonShims> kCommonShims = common_shims();

inline const CommonShims& shims_of(FamilyId id)
{
    for (const CommonShims& s : kCommonShims) {
        if (s.id == id) {
            return s;
        }
    }
    ADD_FAILURE() << "no shims for family " << static_cast<int>(id);
    return kCommonShims.front();
}

inline const devices::Family& row_of(FamilyId id) { return devices::family(id); }

// The header a request of `family` with operation offset `offset` carries.
inline Bytes header(FamilyId id, uint8_t offset, uint16_t num)
{
    const devices::Family& f = row_of(id);
    return le16({static_cast<uint16_t>(f.unit_class * 256 + offset + num), static_cast<uint16_t>(f.base + num), 1});
}

// Whether a request is one of the commands, which the controller never
// answers.
inline bool is_command(const Bytes& request)
{
    if (request.size() < 6) {
        return false;
    }
    const uint16_t dev_addr = static_cast<uint16_t>(request[2] | (request[3] << 8));
    for (const devices::Family& f : devices::kFamilyTable) {
        if (f.op_count == 0 || f.unit_class != request[1] || dev_addr < f.base || dev_addr > f.base + f.highest) {
            continue;
        }
        const uint8_t offset = static_cast<uint8_t>(request[0] - (dev_addr - f.base));
        for (size_t i = 0; i < f.op_count; ++i) {
            const devices::Operation* o = devices::operation_of(f.id, f.ops[i].op);
            if (f.ops[i].offset == offset && o != nullptr && o->command()) {
                return true;
            }
        }
    }
    return false;
}

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_GE(battery_.id(), 0);
        G.fd = bus_.mission_fd();
        G.timeout = 40;
        G.retries = 2;
        debug = 0;
        // Switching off is bookkeeping only: nothing goes on the wire.
        for (const CommonShims& s : kCommonShims) {
            if (s.turn_off) {
                for (uint16_t n = 0; n <= row_of(s.id).highest; ++n) {
                    s.turn_off(n);
                }
            }
        }
        set_discharging(0.0f, 0.0f);
        set_charging(0.0f, 0.0f);
        battery_set_charge(0.0);
    }

    // The unit answers every request (commands excepted) with what `reply`
    // makes of it, `delay_ms` after it came; nullopt leaves the request
    // unanswered.
    void answer(std::function<std::optional<Bytes>(const Bytes& request)> reply, int delay_ms = 0)
    {
        bus_.on_frame([reply, delay_ms](const Frame& f) -> Reply {
            if (!f.valid || f.decoded.size() < 6 || f.decoded == marker() || is_command(f.decoded)) {
                return {};
            }
            std::optional<Bytes> a = reply(f.decoded);
            if (!a) {
                return {};
            }
            return {Step{delay_ms, wire_frame(*a)}};
        });
    }

    // Every request answered with `values` behind the mirrored header.
    void answer_values(const Bytes& values)
    {
        answer([values](const Bytes& req) { return std::optional<Bytes>(answer_to(req, values)); });
    }

    // The decoded frames the mission sent since the last call. A marker
    // command closes the sequence, so that "nothing sent" is a fact, not a
    // matter of waiting long enough.
    std::vector<Bytes> wire()
    {
        EXPECT_EQ(do_command(marker().data(), static_cast<int>(marker().size())), 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            std::vector<Bytes> out;
            for (const Frame& f : bus_.frames()) {
                if (f.decoded == marker()) {
                    bus_.clear();
                    return out;
                }
                EXPECT_TRUE(f.valid);
                out.push_back(f.decoded);
            }
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the marker never arrived";
                return out;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    static const Bytes& marker()
    {
        static const Bytes m = {0xEE, 0xEE, 0xEE, 0xEE, 0x01, 0x00};
        return m;
    }

    FakeBus bus_;
    SharedBattery battery_;
};

}  // namespace kelvex::testing
