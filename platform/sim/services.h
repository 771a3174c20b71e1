// Simulated machine: the service control manager: services, registration values, states, start sequences.
#pragma once

namespace sim {

struct Services {};

}  // namespace sim
