// dot4sim: runs the program on a machine image, and replays a machine's restart.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace simwin {

class Machine;

struct RunOptions {
    std::string image;
    std::optional<bool> answerYes;  // overrides machine.ini [prompt] answer
    std::string traceFile;          // host path; empty: no trace
    std::vector<std::string> args;  // appended to the program's path on the command line
    // For preview: called with the loaded machine before the program, and after it; without
    // `commit` the run's changes are discarded and the image stays as it was.
    std::function<void(Machine&)> beforeRun, afterRun;
    bool commit = true;
};

// Exit statuses of dot4sim besides the program's own exit code.
constexpr int kStatusFailure = 1;   // the image could not be written back, or the program crashed
constexpr int kStatusBadUsage = 2;  // bad command line or a machine image that cannot be used

int runImage(const RunOptions& options, std::ostream& err);
int restartImage(const std::string& image, std::ostream& out, std::ostream& err);

// dot4sim preview, diff and import (preview.cpp, diff.cpp, import.cpp beside this header).
int previewMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int diffMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int importMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The whole command line: dot4sim run|restart|preview|diff ...
int dot4simMain(int argc, char** argv, std::ostream& out, std::ostream& err);

// The argument after the option a[i], with i moved onto it; nullptr when there is none, after
// "dot4sim COMMAND: OPTION needs WHAT" on `err`.
const std::string* optionValue(const std::vector<std::string>& a, size_t& i, const char* command,
                               const char* what, std::ostream& err);
// The value of --answer, yes or no; nullopt, after the message on `err`, when it is neither.
std::optional<bool> answerValue(const std::vector<std::string>& a, size_t& i, const char* command,
                                std::ostream& err);

// Joins the program path and the arguments the way Windows command lines quote them.
std::string buildCommandLine(const std::string& program, const std::vector<std::string>& args);

}  // namespace simwin
