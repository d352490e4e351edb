// The fixture of the exchange scheduler's checks: a schedule with one exchange phase that
// holds the given transfers, 16 tiles, and for every transfer a home of its tensor on its
// source tile (0x62000) and a staging region of phase 0 on its destination (0x52000), each
// made once and as large as the first transfer that needs it, live in phases 0 to 1.
#pragma once

#include <span>

#include "velk_compiler/schedule.hpp"

namespace velk_compiler {

Schedule exchange_schedule(std::span<const Transfer> transfers);

}  // namespace velk_compiler
