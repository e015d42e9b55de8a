// simwin's print spooler.
#pragma once

#include <string>

#include "machine.h"

namespace simwin {

class Spooler {
public:
    // The printers known at start: every key under ...\Control\Print\Printers, then the
    // machine's [spooler] rules.
    explicit Spooler(Machine& m);
    ~Spooler();
};

// What the next start of the machine does with pending deletions (dot4sim restart).
void restartMachine(Machine& m);

}  // namespace simwin
