// Simulated machine: the person at the screen, the user-interface language and string resources, the dialog.
#pragma once

namespace sim {

struct User {};

}  // namespace sim
