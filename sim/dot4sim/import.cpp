// dot4sim import: a machine image from a real machine's registry exports and file listings.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "dot4sim/runner.h"
#include "image/image.h"
#include "image/regfile.h"
#include "imports/exports.h"
#include "imports/hive.h"
#include "imports/listing.h"
#include "model/codepage.h"
#include "model/machine.h"
#include "model/registry.h"

namespace simwin {

namespace {

const char* const kImportHelp =
    "usage: dot4sim import MACHINE EXPORT... [--listing FILE]... [--set SECTION.KEY=VALUE]...\n"
    "       dot4sim import MACHINE --root DIR [--set SECTION.KEY=VALUE]...\n"
    "\n"
    "Makes the machine image MACHINE (a folder that does not exist, or is empty) from registry\n"
    "exports (regedit /e, reg export: REGEDIT4, or Windows Registry Editor Version 5.00 in\n"
    "UTF-16LE or 8-bit), merged in the order given, and file listings written by dir /s /b\n"
    "(OEM code page, or UTF-16LE from cmd /u). Every listed path becomes an empty file of the\n"
    "image, or a folder when another listed path lies below it.\n"
    "\n"
    "machine.ini [system] is derived from the exports' own values; each derived and each\n"
    "assumed setting is printed with the key it came from.\n"
    "\n"
    "  --listing FILE           a dir /s /b listing\n"
    "  --set SECTION.KEY=VALUE  a machine.ini value, over what was derived\n"
    "  --root DIR               a mounted Windows partition: its registry files (NT hives, or\n"
    "                           95/98 SYSTEM.DAT and USER.DAT) and its files, instead of exports\n"
    "\n"
    "Lines the image format would refuse are warned about (file, line, why) and skipped or, as\n"
    "regedit does, read anyway; an export is never refused whole.\n"
    "Exit status: 0 when the image was written, 2 for a bad command line, a file that cannot be\n"
    "read or a MACHINE that is not empty.\n";

bool emptyOrMissing(const std::string& dir, std::string& why) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0)
        return errno == ENOENT || (why = std::strerror(errno), false);
    if (!S_ISDIR(st.st_mode)) return why = "exists and is not a folder", false;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return why = std::strerror(errno), false;
    bool empty = true;
    while (dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
    ::closedir(d);
    if (!empty) why = "is not empty; import makes a new image";
    return empty;
}

bool makeDirs(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        std::string p = path.substr(0, i);
        if (::mkdir(p.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    return true;
}

struct ImportArgs {
    std::string machine;
    std::vector<std::string> exports, listings;
    std::string root;                                       // a partition instead of exports
    std::vector<std::pair<std::string, std::string>> sets;  // "section.key", value
};

// 0 to go on, or the exit status (after --help, or a message on `err`).
int parseImportArgs(const std::vector<std::string>& a, ImportArgs& args, std::ostream& out,
                    std::ostream& err) {
    for (size_t i = 0; i < a.size(); ++i) {
        const std::string& s = a[i];
        if (s == "--help" || s == "-h") {
            out << kImportHelp;
            return -1;
        } else if (s == "--listing" || s == "--set" || s == "--root") {
            const std::string* value = optionValue(a, i, "import", "a value", err);
            if (!value) return kStatusBadUsage;
            const std::string& v = *value;
            if (s == "--listing") {
                args.listings.push_back(v);
                continue;
            }
            if (s == "--root") {
                args.root = v;
                continue;
            }
            size_t dot = v.find('.'), eq = v.find('=');
            if (dot == std::string::npos || eq == std::string::npos || dot == 0 || eq < dot + 2) {
                err << "dot4sim import: --set needs SECTION.KEY=VALUE, got '" << v << "'\n";
                return kStatusBadUsage;
            }
            args.sets.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else if (!s.empty() && s[0] == '-') {
            err << "dot4sim import: unknown option " << s << "\n";
            return kStatusBadUsage;
        } else if (args.machine.empty()) {
            args.machine = s;
        } else {
            args.exports.push_back(s);
        }
    }
    if (!args.exports.empty() && !args.root.empty()) {
        err << "dot4sim import: exports and --root do not mix; give one or the other\n";
        return kStatusBadUsage;
    }
    if (args.machine.empty() || (args.exports.empty() && args.root.empty())) {
        err << "dot4sim import: missing " << (args.machine.empty() ? "MACHINE" : "EXPORT") << "\n"
            << kImportHelp;
        return kStatusBadUsage;
    }
    return 0;
}

// The merged exports in the machine's own code page, [system] derived from them, and the
// machine.ini that follows (in `check`). 0 or the exit status, after a message on `err`.
int readExports(const ImportArgs& args, const PartitionImport& partition,
                std::unique_ptr<Registry>& reg, Derived& d, Machine& check, std::ostream& err) {
    auto readAll = [&](std::ostream& warnings) {
        reg = std::make_unique<Registry>();
        for (const std::string& file : args.exports)
            if (!readExport(*reg, file, warnings)) {
                err << "dot4sim import: cannot read " << file << "\n";
                return false;
            }
        return args.root.empty() || partition.read(*reg, warnings, err);
    };
    // First pass in code page 1252, enough for the values [system] comes from. A UTF-16 export
    // is stored in the machine's own code page, and names compare by it: when that is another
    // one, the exports are read again in it.
    auto firstPage = CodePage::get(1252, true);
    setActiveCodePage(firstPage);
    std::ostringstream firstWarnings;
    if (!readAll(firstWarnings)) return kStatusBadUsage;
    d = derive(*reg);
    for (auto& [name, value] : args.sets) {
        size_t dot = name.find('.');
        d.ini.set(name.substr(0, dot), name.substr(dot + 1), value);
        d.notes.push_back("set: " + name + "=" + value + " (--set)");
    }
    // Refuse a bad machine.ini before anything is written.
    try {
        parseMachineIni(check, d.ini.str(), args.machine + "/machine.ini");
    } catch (const ImageError& e) {
        err << "dot4sim import: " << e.what() << "\n";
        return kStatusBadUsage;
    }
    const unsigned cpNumber = check.config.system.codePage;
    const bool nt = check.config.isNT();
    if (cpNumber != firstPage->number() || nt != firstPage->nt()) {
        setActiveCodePage(CodePage::get(cpNumber, nt));
        if (!readAll(err)) return kStatusBadUsage;
    } else {
        err << firstWarnings.str();
    }
    return 0;
}

// machine.ini, registry.reg and the listed paths as empty files and folders; false after a
// message on `err`.
bool writeImage(const std::string& machine, const std::string& iniText, const Registry& reg,
                const Listing& l, size_t& files, size_t& folders, std::ostream& err) {
    if (!makeDirs(machine)) {
        err << "dot4sim import: cannot create " << machine << ": " << std::strerror(errno) << "\n";
        return false;
    }
    {
        std::ofstream ini(machine + "/machine.ini", std::ios::binary);
        ini << iniText;
        std::ofstream regOut(machine + "/registry.reg", std::ios::binary);
        writeRegFile(reg, regOut);
        if (!ini.flush() || !regOut.flush()) {
            err << "dot4sim import: cannot write " << machine << "\n";
            return false;
        }
    }
    std::string lastFolder;  // files come folder by folder: one mkdir walk per folder
    for (auto& [folded, spelt] : l.paths) {
        std::string host = hostPath(l, machine, folded);
        bool ok;
        if (l.parents.count(folded)) {
            ok = makeDirs(host);
            ++folders;
        } else {
            size_t slash = host.rfind('/');
            ok = (host.compare(0, slash, lastFolder) == 0 && lastFolder.size() == slash) ||
                 makeDirs(host.substr(0, slash));
            ok = ok && std::ofstream(host, std::ios::binary).good();
            if (ok) lastFolder = host.substr(0, slash);
            ++files;
        }
        if (!ok) {
            err << "dot4sim import: cannot create " << host << ": " << std::strerror(errno) << "\n";
            return false;
        }
    }
    return true;
}

// Each assumed [system] value as machine.ini's defaults made it, unless --set named it.
void noteAssumed(Derived& d, const SystemConfig& sys) {
    for (auto& [key, reason] : d.assumed) {
        if (!d.ini.get("system", key).empty()) continue;
        std::string value = key == "platform"            ? std::to_string(sys.platform)
                            : key == "major"             ? std::to_string(sys.major)
                            : key == "minor"             ? std::to_string(sys.minor)
                            : key == "build"             ? std::to_string(sys.build)
                            : key == "windows_directory" ? sys.windowsDirectory
                                                         : std::to_string(sys.codePage);
        d.notes.push_back("assumed: " + key + "=" + value + " (" + reason + ")");
    }
}

}  // namespace

int importMain(const std::vector<std::string>& a, std::ostream& out, std::ostream& err) {
    ImportArgs args;
    if (int status = parseImportArgs(a, args, out, err)) return status < 0 ? 0 : status;
    std::string why;
    if (!emptyOrMissing(args.machine, why)) {
        err << "dot4sim import: " << args.machine << " " << why << "\n";
        return kStatusBadUsage;
    }
    PartitionImport partition;
    if (!args.root.empty() && !partition.open(args.root, err)) return kStatusBadUsage;
    std::vector<std::string> listed(args.listings.size());
    for (size_t i = 0; i < args.listings.size(); ++i)
        if (!readFile(args.listings[i], listed[i])) {
            err << "dot4sim import: cannot read " << args.listings[i] << "\n";
            return kStatusBadUsage;
        }
    std::unique_ptr<Registry> reg;
    Derived d;
    Machine check;
    if (int status = readExports(args, partition, reg, d, check, err)) return status;
    const std::string& windows = check.config.system.windowsDirectory;
    std::vector<std::string> listingNames = args.listings;
    if (!args.root.empty()) {
        listed.push_back(partition.listing(windows));
        listingNames.push_back(args.root);
    }
    Listing l;
    for (size_t i = 0; i < listed.size(); ++i)
        readListing(listed[i], listingNames[i], d.oemCodePage, l, err);
    const std::string iniText = d.ini.str() + (args.root.empty() ? "" : partition.source(windows));
    size_t files = 0, folders = 0;
    if (!writeImage(args.machine, iniText, *reg, l, files, folders, err)) return kStatusFailure;
    noteAssumed(d, check.config.system);
    for (auto& n : d.notes) out << n << "\n";
    out << "wrote " << args.machine << ": " << reg->keyCount() << " keys, " << files << " files, "
        << folders << " folders\n";
    return 0;
}

}  // namespace simwin
