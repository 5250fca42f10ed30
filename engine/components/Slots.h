// The number of connection slots, which is the number of servers the gateway can serve: slot n holds
// server n, numbered 1..kSlots. Every table, array and message bound sized by the servers takes it
// from here.
#pragma once

namespace vespril {

inline constexpr int kSlots = 10;

}  // namespace vespril
