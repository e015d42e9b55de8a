// Machine images on disk: MACHINE/machine.ini, registry.reg, drive_X/, outcome.ini.
#pragma once

#include <iostream>
#include <memory>
#include <string>

#include "image/machine_ini.h"
#include "model/machine.h"

namespace simwin {

// Loads the image in `dir` and locks it for the machine's life. What a dead command left is
// finished or rolled back first, and a missing registry.reg is warned about, on `notes`. Throws
// ImageError (nothing on disk is changed).
std::unique_ptr<Machine> loadImage(const std::string& dir, std::ostream& notes = std::cerr);

// Writes the registry, the drives and, when asked, outcome.ini back into the image as one
// transaction (see Transaction::commit). Throws CommitRefused when the image is left unchanged.
void saveImage(Machine& m, bool writeOutcome);

std::string formatOutcome(const Outcome& o);

}  // namespace simwin
