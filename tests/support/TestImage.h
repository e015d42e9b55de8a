// Machine images for tests: built from text in a temporary directory, run through dot4sim,
// and read back.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log/BLogFile.h"
#include "model/machine.h"
#include "dot4sim/runner.h"

namespace testsupport {

// One record of uninstall.txt.
struct LogRecord {
    int number = -1;
    std::string category, type, level, source;
    int line = 0;
    std::string timestamp;
    std::string message;                    // the message with wrapping and indent removed
    std::vector<std::string> messageLines;  // as written, indent included
    std::vector<uint8_t> data;              // the dumped bytes
    bool hasData = false;
};

// Text-mode files are written with CR LF, as on Windows; tests compare them with LF.
std::string withoutCr(const std::string& text);
// A host file's bytes; "" when it cannot be read.
std::string slurp(const std::string& path);
// The registry files Windows wrote, in ../shared/hives beside the repository.
const std::string kHives = std::string(SOURCE_DIR) + "/../shared/hives/";
// LF line ends made CR LF, for registry.reg texts written out in a test.
std::string withCrlf(const std::string& text);

// Parses a log file's bytes into records (the leading byte 1, title and rule lines skipped).
std::vector<LogRecord> parseLog(const std::string& bytes);
std::vector<std::string> messagesOf(const std::vector<LogRecord>& records);

// The raw text of a JSON field, an array from its "[" to its "]" (the nth occurrence).
std::string jsonField(const std::string& json, const std::string& name, size_t nth = 0);
// The strings of a JSON array of strings.
std::vector<std::string> jsonStrings(const std::string& array);

class TestImage {
  public:
    TestImage();
    ~TestImage();
    TestImage(const TestImage&) = delete;
    TestImage& operator=(const TestImage&) = delete;

    const std::string& dir() const { return dir_; }

    TestImage& machineIni(const std::string& text);
    // Writes registry.reg; a REGEDIT4 header is put in front when the text has none.
    TestImage& registry(const std::string& text);
    // Creates a file of drive C: (or another drive) from its Windows path.
    TestImage& file(const std::string& windowsPath, const std::string& content = "");
    TestImage& directory(const std::string& windowsPath);
    // Copies a sample image of examples/machines/ into this one.
    TestImage& fromExample(const std::string& name);

    std::string hostPath(const std::string& windowsPath) const;
    bool exists(const std::string& windowsPath) const;
    std::string readFile(const std::string& windowsPath) const;
    std::string readImageFile(const std::string& relative) const;  // e.g. "registry.reg"
    bool imageFileExists(const std::string& relative) const;

    struct Result {
        int status = -1;
        std::string out, err;
    };
    // dot4sim run in this process.
    Result run(const std::vector<std::string>& programArgs = {}, const std::string& answer = "",
               const std::string& traceFile = "");
    // The dot4sim executable as a subprocess, with these arguments after "dot4sim".
    Result cli(const std::vector<std::string>& dot4simArgs);
    Result restart();

    std::string registryText() const { return readImageFile("registry.reg"); }
    // A value of outcome.ini; "" when missing.
    std::string outcome(const std::string& section, const std::string& key) const;
    std::vector<LogRecord> log(const std::string& windowsPath = "C:\\uninstall.txt") const;
    // Messages of the log's records, in order.
    std::vector<std::string> logMessages(
        const std::string& windowsPath = "C:\\uninstall.txt") const;

  private:
    std::string dir_;
};

// An image loaded and activated in this process, for unit tests of product classes.
class SimMachine {
  public:
    explicit SimMachine(const std::string& machineIni = "", const std::string& registry = "");
    explicit SimMachine(TestImage& image);  // loads an image prepared by the caller
    ~SimMachine();

    simwin::Machine& m() { return *machine_; }
    const simwin::Machine& m() const { return *machine_; }
    TestImage& image() { return *image_; }
    // The registry as registry.reg text, without writing the image.
    std::string registryText() const;
    // Writes the image back (registry, drives, outcome.ini).
    void save();

  private:
    void load();
    std::unique_ptr<TestImage> owned_;
    TestImage* image_;
    std::unique_ptr<simwin::Machine> machine_;
    bool saved_ = false;
};

// A log published in g_log, on the active machine's drive, as the entry point publishes its own.
class TestLog {
  public:
    explicit TestLog(int32_t levelThreshold = 4, const std::string& windowsPath = "C:\\log.txt");
    // Closes the log, writes the machine's image back and gives the log's records.
    std::vector<LogRecord> finish(SimMachine& sm);

  private:
    std::string path_;
    std::unique_ptr<BLogFile> log_;  // its destructor takes it out of g_log
};

}  // namespace testsupport
