// The device operations as a constexpr table (rows from operation_list.h)
// and the generic code every exported shim hands its arguments to: one line
// `return perform<OperationId::name>(args...);` per function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

#include "families.h"
#include "operation_list.h"

namespace kelvex::devices {

// What an operation does, and so how the controller answers it.
enum class OpKind : uint8_t {
    get_state,         // bookkeeping only
    turn_on,           // the family's reset, then bookkeeping
    turn_off,          // bookkeeping only
    reset,             // command, header only
    setting,           // command with a value payload
    read,              // request, values from the answer
    read_axes,         // request, three words in the family's axis order
    read_buffer,       // request, a fixed block of bytes
    set_and_confirm,   // request repeated until the unit echoes the value
    confirmed_switch,  // request whose answer switches the unit
    send,              // commands carrying data to another unit
    message,           // the controller's pass-through
    board,             // served by the board: no bus message
};

enum class PythonUse : uint8_t { expose, overloaded, hidden };

// Each exported function's type, as its row spells it.
namespace signature {
#define KELVEX_OPERATION_SIGNATURE(name, family, op, offset, kind, bytes, python, result, params, ...) \
    using name = result(*) params;
KELVEX_DEVICE_OPERATIONS(KELVEX_OPERATION_SIGNATURE)
#undef KELVEX_OPERATION_SIGNATURE

template <typename Fn>
struct Traits;

template <typename R, typename... A>
struct Traits<R (*)(A...)> {
    // The value a setting or set-and-confirm sends: the second parameter.
    static constexpr uint8_t value_bytes()
    {
        if constexpr (sizeof...(A) >= 2) {
            using V = std::tuple_element_t<1, std::tuple<A...>>;
            if constexpr (std::is_arithmetic<V>::value) {
                return sizeof(V);
            }
        }
        return 0;
    }
    // What the outputs of a read hold, one of each.
    static constexpr uint8_t output_bytes()
    {
        return static_cast<uint8_t>((0 + ... + output_size<A>()));
    }

private:
    template <typename P>
    static constexpr size_t output_size()
    {
        if constexpr (std::is_pointer_v<P> && !std::is_const_v<std::remove_pointer_t<P>>) {
            return sizeof(std::remove_pointer_t<P>);
        }
        return 0;
    }
};

}  // namespace signature


enum class OperationId : uint16_t {
#define KELVEX_OPERATION_ID(name, ...) name,
    KELVEX_DEVICE_OPERATIONS(KELVEX_OPERATION_ID)
#undef KELVEX_OPERATION_ID
        count
};

struct Operation {
    const char* name;
    FamilyId family;
    Op op;  // Op::none: nothing of its own on the wire
    OpKind kind;
    uint16_t bytes;
    PythonUse python;
    uint8_t value_bytes;   // of a setting or set-and-confirm
    uint8_t output_bytes;  // of a read's outputs

    // Commands are never answered.
    constexpr bool command() const
    {
        return kind == OpKind::reset || kind == OpKind::setting || kind == OpKind::send;
    }
};

// clang-format off
inline constexpr Operation kOperations[] = {
#define KELVEX_OPERATION_ROW(name, family, op, offset, kind, bytes, python, ...) \
    {#name, FamilyId::family, Op::op, OpKind::kind, bytes, PythonUse::python,                  \
     signature::Traits<signature::name>::value_bytes(), signature::Traits<signature::name>::output_bytes()},
    KELVEX_DEVICE_OPERATIONS(KELVEX_OPERATION_ROW)
#undef KELVEX_OPERATION_ROW
};
// clang-format on

inline constexpr size_t kOperationCount = static_cast<size_t>(OperationId::count);

constexpr const Operation& operation(OperationId id) { return kOperations[static_cast<size_t>(id)]; }

// Index of the operation a family's wire operation belongs to (the first
// row naming it), kOperationCount when there is none.
constexpr size_t operation_index(FamilyId f, Op op)
{
    for (size_t i = 0; i < kOperationCount; ++i) {
        if (kOperations[i].family == f && kOperations[i].op == op) {
            return i;
        }
    }
    return kOperationCount;
}

// That operation, or null.
constexpr const Operation* operation_of(FamilyId f, Op op)
{
    const size_t i = operation_index(f, op);
    return i < kOperationCount ? &kOperations[i] : nullptr;
}

namespace check {

constexpr bool wire_operations_listed()
{
    for (const Family& f : kFamilyTable) {
        for (size_t i = 0; i < f.op_count; ++i) {
            if (operation_index(f.id, f.ops[i].op) == kOperationCount) {
                return false;
            }
        }
    }
    for (const Operation& o : kOperations) {
        if (o.op != Op::none && !family(o.family).has(o.op)) {
            return false;
        }
    }
    return true;
}

static_assert(sizeof(kOperations) / sizeof(kOperations[0]) == kOperationCount, "one row per operation");
static_assert(wire_operations_listed(), "every wire operation of a family has its row, and only those");

}  // namespace check

}  // namespace kelvex::devices
