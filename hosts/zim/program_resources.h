// ZIM's resources handed to a simulated machine, as Windows reads them from ZIM.exe: the string
// tables of every language block, the main dialog's template and the icon's id. Whoever builds a machine that
// runs ZIM (the dry run, the tests, the benchmarks) loads them; the simulator itself knows no program.
#pragma once

#include "platform/sim/user.h"

namespace zim_host {

// Replaces the program resources of `user` with ZIM's.
void LoadProgramResources(sim::User& user);

}  // namespace zim_host
