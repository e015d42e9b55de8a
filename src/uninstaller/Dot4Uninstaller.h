// The uninstaller object and its three steps.
#pragma once

#include <string>

#include "platform/win32.h"
#include "utilities/StringList.h"

class BMSPrinter {
  public:
    virtual ~BMSPrinter();
    // Deletes the printer from the printers folder through the spooler.
    bool deletePrinter(std::string name);
};

class Dot4Uninstaller : public BMSPrinter {
  public:
    Dot4Uninstaller();
    ~Dot4Uninstaller() override;

    bool removeRegistryEntries();                           // RegistryCleanup.cpp
    bool removeSavedPrinters();                             // Printers.cpp
    bool removeInstalledFilesOnReboot(bool& rebootNeeded);  // InstalledFiles.cpp
    bool removeInstalledFile(std::string path, bool& rebootNeeded);

    std::string padPortNumber(std::string number);
    std::string dot4PortName(const std::string& number);

    bool stackRemoved;
    StringList savedPrinters;
};

// The program's entry point (WinMain.cpp). simwin's runner calls it like the system does.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);
