// simwin's print spooler.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine.h"

namespace simwin {

// Where the spooler keeps its printers in the registry.
extern const char* const kPrintersKey;

struct PrinterHandle;  // sim/handles.h

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
    // The printer of that name (names compare without case), or nullptr.
    Printer* find(const std::string& name);
    // Removes a printer from the spooler and its key from the registry.
    void remove(const std::string& name);

    // What OpenPrinterA and DeletePrinter do, with machine.ini [spooler] rules: 0 or the error
    // code. open() gives the printer's name as the spooler spells it.
    DWORD open(const std::string& name, std::string& printer);
    DWORD deletePrinter(PrinterHandle& handle);

    std::vector<Printer> printers;  // in the order the spooler learnt them

  private:
    Machine& m_;
};

// What the next start of the machine does with pending deletions (dot4sim restart); the lines
// of work it left undone.
std::vector<std::string> restartMachine(Machine& m);

}  // namespace simwin
