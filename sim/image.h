// Machine images on disk: MACHINE/machine.ini, registry.reg, drive_X/, outcome.ini.
#pragma once

#include <memory>
#include <string>

#include "machine.h"

namespace simwin {

// Reads machine.ini text into `m`. Throws ImageError naming `fileName` and the line.
void parseMachineIni(Machine& m, const std::string& text, const std::string& fileName);

// Loads the image in `dir`. Throws ImageError (nothing on disk is changed).
std::unique_ptr<Machine> loadImage(const std::string& dir);

// Writes the registry, the drives and, when asked, outcome.ini back into the image. Every file
// is written beside its target first and renamed over it, so a crash loses nothing.
void saveImage(Machine& m, bool writeOutcome);

std::string formatOutcome(const Outcome& o);

// Writes `text` to `path` through a temporary file in the same directory and a rename.
// Throws std::runtime_error naming the path on failure.
void writeFileAtomically(const std::string& path, const std::string& text);

}  // namespace simwin
