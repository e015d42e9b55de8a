// machine.ini: what a machine image configures of its machine.
#pragma once

#include <string>

#include "model/machine.h"

namespace simwin {

// Reads machine.ini text into `m`. Throws ImageError naming `fileName` and the line.
void parseMachineIni(Machine& m, const std::string& text, const std::string& fileName);

}  // namespace simwin
