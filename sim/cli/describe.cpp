#include "cli/describe.h"

#include <cstring>

#include "cli/options.h"
#include "devices/operations.h"
#include "faults/fault_table.h"
#include "json.h"
#include "model/booking.h"
#include "model/telemetry.h"

namespace kelvex::sim {
namespace {

using devices::Family;

// The rows of operation_list.h as their text spells them: the prototype's
// parameters and the Python doc string.
#define KX_TEXT(...) #__VA_ARGS__
#define KX_PARAMETER_TEXT(...) KX_TEXT(__VA_ARGS__)

struct OperationText {
    const char* kind;
    const char* python;
    const char* result;
    const char* params;
    const char* doc;
    unsigned offset;
};

// clang-format off
const OperationText kOperationTexts[] = {
#define KX_OPERATION_TEXT(name, family, op, offset, kind, bytes, python, result, params, doc) \
    {#kind, #python, #result, KX_PARAMETER_TEXT params, doc, offset},
    KELVEX_DEVICE_OPERATIONS(KX_OPERATION_TEXT)
#undef KX_OPERATION_TEXT
};
// clang-format on

static_assert(std::size(kOperationTexts) == devices::kOperationCount, "one text per operation");


std::string families()
{
    std::string out = "[";
    for (const Family& f : devices::kFamilyTable) {
        std::vector<std::string> ops;
        for (size_t i = 0; i < f.op_count; ++i) {
            ops.push_back(devices::op_name(f.ops[i].op));
        }
        out += std::string(out.size() > 1 ? ",\n" : "\n") + "  {\"name\": " + json_string(family_name(f)) +
               ", \"prefix\": " + json_string(f.prefix) + ", \"units\": " + std::to_string(devices::unit_count(f.id)) +
               ", \"class\": " + std::to_string(f.unit_class) + ", \"base\": " + std::to_string(f.base) +
               ", \"on_bus\": " + (f.op_count > 0 ? "true" : "false") +
               ", \"switched\": " + (f.switched() ? "true" : "false") +
               ", \"draw_ma\": " + json_number(f.consumption) +
               ", \"booked\": " + (Booking::followed(f.id) ? "true" : "false") + ", \"operations\": " + json_array(ops) +
               "}";
    }
    return out + "\n]";
}

std::string operations()
{
    std::string out = "[";
    for (size_t i = 0; i < devices::kOperationCount; ++i) {
        const devices::Operation& o = devices::kOperations[i];
        const OperationText& t = kOperationTexts[i];
        out += std::string(i ? ",\n" : "\n") + "  {\"name\": " + json_string(o.name) +
               ", \"family\": " + json_string(family_name(devices::family(o.family))) +
               ", \"op\": " + json_string(devices::op_name(o.op)) + ", \"offset\": " + std::to_string(t.offset) +
               ", \"kind\": " + json_string(t.kind) + ", \"bytes\": " + std::to_string(o.bytes) +
               ", \"python\": " + json_string(t.python) + ", \"result\": " + json_string(t.result) +
               ", \"params\": " + json_string(t.params) + ", \"doc\": " + json_string(t.doc) + "}";
    }
    return out + "\n]";
}

}  // namespace

std::string describe_json()
{
    return "{\"options\": " + options_description() + ",\n\"faults\": " + faults_description() +
           ",\n\"telemetry\": " + telemetry_description() + ",\n\"families\": " + families() +
           ",\n\"operations\": " + operations() + "}\n";
}

}  // namespace kelvex::sim
