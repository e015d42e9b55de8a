// simwin's print spooler.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/machine.h"

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
        // Named outside the code page (NT): `name` is what the A functions see, which NT
        // converts back to a printer that does not exist.
        bool exact = false;
    };
    // The printer of that name (names compare without case), or nullptr; never an exact one.
    Printer* find(const std::string& name);
    // Removes a printer from the spooler and its key from the registry.
    void remove(const std::string& name);

    // What OpenPrinterA and DeletePrinter do, with machine.ini [spooler] rules: 0 or the error
    // code. open() gives the printer's name as the spooler spells it.
    DWORD open(const std::string& name, std::string& printer);
    // `deleted`: whether this handle already deleted the printer; set when it does.
    DWORD deletePrinter(const std::string& printer, DWORD access, bool& deleted);

    std::vector<Printer> printers;  // in the order the spooler learnt them

  private:
    Machine& m_;
};

}  // namespace simwin
