// The next start of a machine: what it does with the work left for it.
#pragma once

#include <string>
#include <vector>

namespace simwin {

class Machine;

// What the next start of the machine does with pending deletions (dot4sim restart); the lines
// of work it left undone.
std::vector<std::string> restartMachine(Machine& m);

}  // namespace simwin
