// simwin's print spooler.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "machine.h"

namespace simwin {

// Where the spooler keeps its printers in the registry.
extern const char* const kPrintersKey;

class Spooler {
  public:
    // The printers known at start: every key under ...\Control\Print\Printers, then the
    // machine's [spooler] rules.
    explicit Spooler(Machine& m);
    ~Spooler();

    struct Printer {
        std::string name;
        PrinterRule rule;
    };
    // A handle of OpenPrinterA: its printer and the access it was opened for.
    struct Handle {
        std::string printer;
        ACCESS_MASK access = 0;
        bool deleted = false;  // DeletePrinter succeeded through this handle
    };

    // The printer of that name (names compare without case), or nullptr.
    Printer* find(const std::string& name);
    // Removes a printer from the spooler and its key from the registry.
    void remove(const std::string& name);

    std::vector<Printer> printers;  // in the order the spooler learnt them
    std::map<uintptr_t, Handle> handles;

  private:
    Machine& m_;
};

// What the next start of the machine does with pending deletions (dot4sim restart).
void restartMachine(Machine& m);

}  // namespace simwin
