// The simulated machine: everything simwin's Win32 functions read and change.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace simwin {

class Registry;     // model/registry.h
class FileSystem;   // model/drives.h
class Staging;      // model/drives.h
class Spooler;      // model/spooler.h
class HandleTable;  // win32/handles.h: the call layer's, made on its first use

// A machine image that cannot be used; `what()` is "FILE:LINE: message".
class ImageError : public std::runtime_error {
  public:
    ImageError(const std::string& file, int line, const std::string& message);
    const std::string& file() const { return file_; }
    int line() const { return line_; }
    const std::string& message() const { return message_; }

  private:
    std::string file_;
    int line_;
    std::string message_;
};

// A configured result: success, or the error code the call fails with.
struct Result {
    DWORD error = 0;  // 0: the call succeeds
    bool ok() const { return error == 0; }
};

struct SystemConfig {
    DWORD platform = VER_PLATFORM_WIN32_NT;
    DWORD major = 5, minor = 1, build = 2600;
    Result versionQuery;
    std::string windowsDirectory = "C:\\WINDOWS";
    Result windowsDirectoryResult;
    std::string currentDirectory = "C:\\";
    std::string program = "\"C:\\Program Files\\Dot4\\dot4uninstall.exe\"";
    unsigned codePage = 1252;  // the ANSI code page every 8-bit name is in
};

struct PrivilegeConfig {
    enum class Thread { None, Present, Fails };
    Thread threadToken = Thread::None;
    DWORD threadTokenError = 0;  // for Thread::Fails
    Result processToken, lookup, adjust;
    bool notAllAssigned = false;  // adjust succeeds with ERROR_NOT_ALL_ASSIGNED, changing nothing
};

// Per-key access rules of machine.ini [registry].
enum RegistryRule : unsigned {
    kRuleReadOnly = 1,  // opens for KEY_READ only
    kRuleNoAccess = 2,  // every open fails
    kRuleNoDelete = 4,  // RegDeleteKeyA fails
    kRuleNoCreate = 8,  // the key cannot be created
};

// Per-file states of machine.ini [files]; what each does per family is FileSystem's.
enum FileRule : unsigned {
    kFileInUse = 1,       // open without delete sharing in a running program
    kFileNoSchedule = 2,  // MoveFileExA(..., MOVEFILE_DELAY_UNTIL_REBOOT) fails
    kFileReadOnly = 4,    // the read-only attribute
    kFileLoaded = 8,      // a loaded module or a running driver
};

// What machine.ini [spooler] says of one printer.
struct PrinterRule {
    enum class Kind { Ok, OpenFails, DeleteFails, Absent };
    Kind kind = Kind::Ok;
    DWORD code = 0;
};

// One injected failure: `function` fails with `code` always (nth 0, subject empty), on its
// nth call only, or whenever its key or file is `subject` (compared without case).
struct Fault {
    std::string function;
    DWORD code = 0;
    unsigned nth = 0;
    std::string subject;
};

struct Outcome {
    int exitCode = 0;
    std::string commandLine;
    unsigned promptShown = 0;
    std::string promptText, promptCaption;
    UINT promptStyle = 0;
    std::string promptAnswer;  // "yes", "no" or empty when never shown
    bool restartRequested = false;
    std::optional<UINT> restartFlags;
    std::vector<std::string> spoolerDeleted;
    std::vector<std::pair<std::string, DWORD>> spoolerFailed;
};

// What machine.ini configured. A run reads it; only a restart changes it (files stop being
// in use).
struct MachineConfig {
    std::string imageDir;  // host directory of the image; empty for a machine built in memory
    SystemConfig system;
    PrivilegeConfig privileges;
    Result shutdown;
    int promptAnswer = IDNO;
    std::map<std::string, unsigned> fileRules;      // upper-cased Windows path -> FileRule bits
    std::map<std::string, std::string> shortNames;  // upper-cased Windows path -> 8.3 alias
    std::map<std::string, unsigned> registryRules;  // CodePage::fold of the key path -> bits
    std::vector<std::pair<std::string, PrinterRule>> printerRules;  // in machine.ini order
    std::vector<Fault> faults;

    bool isNT() const { return system.platform == VER_PLATFORM_WIN32_NT; }
    unsigned registryRule(const std::string& keyPath) const;
    unsigned fileRule(const std::string& windowsPath) const;
};

// What the run changes.
struct MachineState {
    MachineState();
    ~MachineState();

    std::unique_ptr<Registry> registry;
    std::unique_ptr<Staging> staging;  // outlives the drives, which write through it
    std::unique_ptr<FileSystem> files;
    std::unique_ptr<Spooler> spooler;

    std::string commandLine;
    DWORD lastError = 0;

    std::shared_ptr<HandleTable> handles;  // every open key, search, token and printer
    bool shutdownPrivilegeEnabled = false;

    std::map<std::string, unsigned> callCounts;  // per function, for CODE@N faults
};

// What the run reports: outcome.ini and the call trace.
struct MachineReport {
    Outcome outcome;
    bool traceEnabled = false;
    std::vector<std::string> traceLines;
};

class Machine {
  public:
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    MachineConfig config;
    MachineState run;
    MachineReport report;
};

// The machine that simwin's Win32 functions act on. Exactly one is active at a time.
Machine& machine();
bool hasMachine();
void activate(Machine* m);  // nullptr deactivates

// Trace formatting helpers.
std::string quote(const char* s);  // "text" with \ and " escaped, or NULL
std::string hkeyName(HKEY h);      // HKEY_LOCAL_MACHINE, or 0x... for an opened key

// Upper-cases ASCII letters; used for every case-insensitive name comparison.
std::string upper(const std::string& s);
bool iequals(const std::string& a, const std::string& b);
// Without the blanks and tabs around it, and a line end's CR.
std::string trim(const std::string& s);

// Parses "ok" (0) or an error code in decimal or 0x-hex. Returns nullopt when it is neither.
std::optional<DWORD> parseResult(const std::string& text);

}  // namespace simwin
