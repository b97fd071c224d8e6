// The families' current draws as the battery record books them, as a
// Markdown table for sim/README.md.
#pragma once

#include <string>

namespace kelvex::sim {

std::string families_markdown();

}  // namespace kelvex::sim
