// Simulated machine: the registry: HKLM keys, their access rights, REG_SZ values with exact byte counts.
#pragma once

namespace sim {

struct Registry {};

}  // namespace sim
