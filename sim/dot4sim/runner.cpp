#include "dot4sim/runner.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <exception>
#include <iostream>
#include <ostream>

#include "dot4sim/offline.h"
#include "dot4sim/restart.h"
#include "image/image.h"
#include "model/drives.h"
#include "model/machine.h"
#include "model/spooler.h"
#include "uninstaller/Dot4Uninstaller.h"

namespace simwin {

namespace {

const char* const kMainHelp =
    "usage: dot4sim run MACHINE [--answer yes|no] [--trace FILE] [-- ARG...]\n"
    "       dot4sim restart MACHINE\n"
    "       dot4sim preview MACHINE... [--json FILE] [--html FILE] [--warnings all] [--jobs N]\n"
    "                       [--answer yes|no] [-- ARG...]\n"
    "       dot4sim diff BEFORE AFTER [--json FILE]\n"
    "       dot4sim import MACHINE EXPORT... [--listing FILE]... [--set SECTION.KEY=VALUE]...\n"
    "       dot4sim import MACHINE --root DIR [--set SECTION.KEY=VALUE]...\n"
    "       dot4sim apply MACHINE --root DIR [--backup DIR2] [--yes]\n"
    "       dot4sim undo --backup DIR2 --root DIR\n"
    "\n"
    "Runs the uninstaller on a machine image (a directory holding machine.ini, registry.reg\n"
    "and drive_c/), or replays what the machine's next start does with pending deletions;\n"
    "previews a run without changing the image, shows what changed between two images, or\n"
    "imports a real machine's registry exports and file listings as a new image.\n"
    "Run 'dot4sim COMMAND --help' for details.\n";

const char* const kRunHelp =
    "usage: dot4sim run MACHINE [--answer yes|no] [--trace FILE] [-- ARG...]\n"
    "\n"
    "Loads the machine image MACHINE, runs the uninstaller on it with the command line\n"
    "'PROGRAM ARG...' (PROGRAM is [system] program of machine.ini), writes the registry, the\n"
    "drives and outcome.ini back into the image, and exits with the program's exit code.\n"
    "With '-- -l' the program writes its log, uninstall.txt, in the machine's current\n"
    "directory (by default MACHINE/drive_c/uninstall.txt).\n"
    "\n"
    "  --answer yes|no  answer the reboot prompt so (default: machine.ini [prompt] answer, or no)\n"
    "  --trace FILE     write every Windows call the program makes, with its result, to FILE\n"
    "\n"
    "The image changes as one transaction: killed at any moment, it is the old or the new\n"
    "image, and the next dot4sim command on it finishes or rolls back the interrupted run.\n"
    "\n"
    "Exit status: the program's exit code; 1 when the image could not be written back or the\n"
    "program failed (the image is left unchanged); 2 for a bad command line, an image that\n"
    "cannot be loaded or is in use, or a trace file that cannot be written (nothing is\n"
    "written then).\n";

const char* const kRestartHelp =
    "usage: dot4sim restart MACHINE\n"
    "\n"
    "Does what the next start of the machine does with pending deletions: on the NT family it\n"
    "deletes the files named in PendingFileRenameOperations and clears the value; on Windows\n"
    "95/98 it carries out the [rename] section of wininit.ini and renames that file to\n"
    "wininit.bak. A line WININIT cannot carry out (a long name, a directory, a rename across\n"
    "volumes) is left undone and named on standard output.\n"
    "\n"
    "Exit status: 0 on success, 1 when the image could not be written back, 2 for a bad\n"
    "command line or an image that cannot be loaded.\n";

std::string quoteArg(const std::string& a) {
    if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) return a;
    std::string out = "\"";
    size_t slashes = 0;
    for (char c : a) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        if (c == '"')
            out.append(slashes * 2 + 1, '\\');
        else
            out.append(slashes, '\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, '\\');
    return out + "\"";
}

bool writeTrace(const Machine& m, std::FILE* f, const std::string& path, std::ostream& err) {
    for (const std::string& line : m.report.traceLines) std::fprintf(f, "%s\n", line.c_str());
    bool ok = std::fflush(f) == 0 && !std::ferror(f);
    if (!ok) err << "dot4sim: cannot write the trace file " << path << "\n";
    return ok;
}

std::unique_ptr<Machine> load(const std::string& image, std::ostream& err) {
    try {
        return loadImage(image, err);
    } catch (const ImageError& e) {
        err << "dot4sim: " << e.what() << "\n";
    } catch (const std::exception& e) {
        err << "dot4sim: " << image << ": " << e.what() << "\n";
    }
    return nullptr;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

const std::string* optionValue(const std::vector<std::string>& a, size_t& i, const char* command,
                               const char* what, std::ostream& err) {
    if (i + 1 >= a.size()) {
        err << "dot4sim " << command << ": " << a[i] << " needs " << what << "\n";
        return nullptr;
    }
    return &a[++i];
}

std::optional<bool> answerValue(const std::vector<std::string>& a, size_t& i, const char* command,
                                std::ostream& err) {
    if (i + 1 >= a.size() || (a[i + 1] != "yes" && a[i + 1] != "no")) {
        err << "dot4sim " << command << ": --answer needs yes or no\n";
        return std::nullopt;
    }
    return a[++i] == "yes";
}

std::string buildCommandLine(const std::string& program, const std::vector<std::string>& args) {
    std::string line = program;
    for (const std::string& a : args) line += " " + quoteArg(a);
    return line;
}

int runImage(const RunOptions& options, std::ostream& err) {
    std::unique_ptr<Machine> m = load(options.image, err);
    if (!m) return kStatusBadUsage;
    // A trace that cannot be written is found out before the run, while nothing has changed.
    std::unique_ptr<std::FILE, FileCloser> trace;
    if (!options.traceFile.empty()) {
        trace.reset(std::fopen(options.traceFile.c_str(), "w"));
        if (!trace) {
            err << "dot4sim: cannot write the trace file " << options.traceFile << ": "
                << std::strerror(errno) << "; nothing was run\n";
            return kStatusBadUsage;
        }
    }
    if (options.answerYes) m->config.promptAnswer = *options.answerYes ? IDYES : IDNO;
    m->report.traceEnabled = !options.traceFile.empty();
    m->run.commandLine = buildCommandLine(m->config.system.program, options.args);
    m->report.outcome.commandLine = m->run.commandLine;

    if (options.beforeRun) options.beforeRun(*m);
    activate(m.get());
    int exitCode;
    try {
        std::string args = m->run.commandLine.substr(m->config.system.program.size());
        if (!args.empty() && args[0] == ' ') args.erase(0, 1);
        exitCode = WinMain(nullptr, nullptr, &args[0], 1);
    } catch (const std::exception& e) {
        // The image keeps what it was: a preview that crashed must not leave half a change.
        err << "dot4sim: the program failed: " << e.what() << "; the image is left unchanged\n";
        if (trace) writeTrace(*m, trace.get(), options.traceFile, err);
        activate(nullptr);
        return kStatusFailure;
    }
    m->report.outcome.exitCode = exitCode;
    if (trace && !writeTrace(*m, trace.get(), options.traceFile, err)) {
        err << "dot4sim: the image is left unchanged\n";
        activate(nullptr);
        return kStatusFailure;
    }
    try {
        if (options.afterRun) options.afterRun(*m);
        if (!options.commit) {
            m->run.staging->discard();
            activate(nullptr);
            return exitCode;
        }
        saveImage(*m, true);
    } catch (const std::exception& e) {
        err << "dot4sim: " << e.what() << "\n";
        activate(nullptr);
        return kStatusFailure;
    }
    activate(nullptr);
    return exitCode;
}

int restartImage(const std::string& image, std::ostream& out, std::ostream& err) {
    std::unique_ptr<Machine> m = load(image, err);
    if (!m) return kStatusBadUsage;
    activate(m.get());
    try {
        for (const std::string& line : restartMachine(*m)) out << line << "\n";
        saveImage(*m, false);
    } catch (const std::exception& e) {
        err << "dot4sim: " << e.what() << "\n";
        activate(nullptr);
        return kStatusFailure;
    }
    activate(nullptr);
    return 0;
}

int dot4simMain(int argc, char** argv, std::ostream& out, std::ostream& err) {
    std::vector<std::string> a(argv + 1, argv + argc);
    if (a.empty()) {
        err << kMainHelp;
        return kStatusBadUsage;
    }
    if (a[0] == "--help" || a[0] == "-h" || a[0] == "help") {
        out << kMainHelp;
        return 0;
    }
    const std::string command = a[0];
    if (command == "preview") return previewMain({a.begin() + 1, a.end()}, out, err);
    if (command == "diff") return diffMain({a.begin() + 1, a.end()}, out, err);
    if (command == "import") return importMain({a.begin() + 1, a.end()}, out, err);
    if (command == "apply") return applyMain({a.begin() + 1, a.end()}, std::cin, out, err);
    if (command == "undo") return undoMain({a.begin() + 1, a.end()}, std::cin, out, err);
    if (command == "run") {
        RunOptions o;
        size_t i = 1;
        for (; i < a.size(); ++i) {
            const std::string& s = a[i];
            if (s == "--help" || s == "-h") {
                out << kRunHelp;
                return 0;
            } else if (s == "--") {
                o.args.assign(a.begin() + i + 1, a.end());
                break;
            } else if (s == "--answer") {
                o.answerYes = answerValue(a, i, "run", err);
                if (!o.answerYes) return kStatusBadUsage;
            } else if (s == "--trace") {
                const std::string* v = optionValue(a, i, "run", "a file name", err);
                if (!v) return kStatusBadUsage;
                o.traceFile = *v;
            } else if (!s.empty() && s[0] == '-') {
                err << "dot4sim run: unknown option " << s << " (program arguments go after --)\n";
                return kStatusBadUsage;
            } else if (o.image.empty()) {
                o.image = s;
            } else {
                err << "dot4sim run: unexpected argument " << s
                    << " (program arguments go after --)\n";
                return kStatusBadUsage;
            }
        }
        if (o.image.empty()) {
            err << "dot4sim run: missing MACHINE\n" << kRunHelp;
            return kStatusBadUsage;
        }
        return runImage(o, err);
    }
    if (command == "restart") {
        std::string image;
        for (size_t i = 1; i < a.size(); ++i) {
            if (a[i] == "--help" || a[i] == "-h") {
                out << kRestartHelp;
                return 0;
            }
            if (!image.empty() || (!a[i].empty() && a[i][0] == '-')) {
                err << "dot4sim restart: unexpected argument " << a[i] << "\n";
                return kStatusBadUsage;
            }
            image = a[i];
        }
        if (image.empty()) {
            err << "dot4sim restart: missing MACHINE\n" << kRestartHelp;
            return kStatusBadUsage;
        }
        return restartImage(image, out, err);
    }
    err << "dot4sim: unknown command '" << command << "'\n" << kMainHelp;
    return kStatusBadUsage;
}

}  // namespace simwin
