// Simulated machine: the process and session: command line, token and privileges, restart, power, shell launches.
#pragma once

namespace sim {

struct Session {};

}  // namespace sim
