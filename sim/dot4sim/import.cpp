// dot4sim import: a machine image from a real machine's registry exports and file listings.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <cctype>
#include <new>
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
    "                      [--warnings all]\n"
    "       dot4sim import MACHINE --root DIR [--windir NAME] [--stale-hives]\n"
    "                              [--set SECTION.KEY=VALUE]...\n"
    "                      [--warnings all]\n"
    "\n"
    "Makes the machine image MACHINE (a folder that does not exist, or is empty) from registry\n"
    "exports (regedit /e, reg export: REGEDIT4, or Windows Registry Editor Version 5.00 in\n"
    "UTF-16LE or 8-bit), merged in the order given, and file listings written by dir /s /b.\n"
    "Every listed path becomes an empty file of the image, or a folder when another listed path\n"
    "lies below it. The image is made beside MACHINE and renamed into place: a failure leaves\n"
    "nothing.\n"
    "\n"
    "machine.ini [system] is derived from the exports' own values; each derived and each\n"
    "assumed setting is printed with the key it came from. A listing is read as its byte-order\n"
    "mark says (UTF-16LE, UTF-8), else as its shape says (UTF-16LE as cmd /u writes it, valid\n"
    "UTF-8), else in the OEM code page (OEMCP of the export, or --set system.oemcp=N); the\n"
    "choice is printed.\n"
    "\n"
    "  --listing FILE           a dir /s /b listing\n"
    "  --set SECTION.KEY=VALUE  a machine.ini value, over what was derived\n"
    "  --root DIR               a mounted Windows partition: its registry files (NT hives, or\n"
    "                           95/98 SYSTEM.DAT and USER.DAT) and its files, instead of exports;\n"
    "                           a hive not saved cleanly is recovered from its logs, as Windows\n"
    "                           does when it starts (the partition is only read)\n"
    "  --windir NAME            the Windows directory to take, where DIR holds several\n"
    "                           (machine.ini [source] windir= keeps it for apply)\n"
    "  --stale-hives            such a hive that no log recovers is read as it is, and\n"
    "                           machine.ini [source] stale= names it (else it is refused)\n"
    "  --warnings all           every warning; by default the first five of each reason\n"
    "\n"
    "Lines the image format would refuse are warned about (file, line, why) and skipped or, as\n"
    "regedit does, read anyway; an export is never refused whole. The last line counts the\n"
    "warnings.\n"
    "Exit status: 0 when the image was written; 1 when it could not be (the host refused a\n"
    "folder or a file of it), and nothing was left; 2, with nothing written, for a bad command\n"
    "line, a file that cannot be read or is a folder, a listing given as an export or an\n"
    "export given as a listing, a code page not known here, a partition whose registry files\n"
    "cannot be read, or a MACHINE that is not empty.\n";

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

// The image in the making, in a folder beside MACHINE; removed, with the parents it had to
// create, unless it was renamed into place.
class Staging {
  public:
    explicit Staging(std::string machine) : machine_(std::move(machine)) {
        while (machine_.size() > 1 && machine_.back() == '/') machine_.pop_back();
    }
    ~Staging() {
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
        for (auto p = made_.rbegin(); p != made_.rend(); ++p) ::rmdir(p->c_str());
    }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    const std::string& dir() const { return dir_; }
    // false with errno set.
    bool create() {
        size_t slash = machine_.rfind('/');
        std::string parent = slash == std::string::npos ? "." : machine_.substr(0, slash + !slash);
        for (size_t i = 1; i <= parent.size(); ++i) {
            if (i < parent.size() && parent[i] != '/') continue;
            std::string p = parent.substr(0, i);
            if (::mkdir(p.c_str(), 0777) == 0)
                made_.push_back(p);
            else if (errno != EEXIST)
                return false;
        }
        std::string pattern = parent + "/." + machine_.substr(slash + 1) + ".import-XXXXXX";
        if (!::mkdtemp(&pattern[0])) return false;
        dir_ = pattern;
        mode_t mask = ::umask(0);
        ::umask(mask);
        return ::chmod(dir_.c_str(), 0777 & ~mask) == 0;
    }
    bool commit() {
        if (::rename(dir_.c_str(), machine_.c_str()) != 0) return false;
        dir_.clear();
        made_.clear();
        return true;
    }

  private:
    std::string machine_, dir_;
    std::vector<std::string> made_;
};

// The warnings as they come, but of each reason (what a warning says before its first ';')
// only the first five; then how many more of each, and of all.
class WarningDigest : public std::streambuf {
  public:
    WarningDigest(std::ostream& err, bool all) : err_(err), all_(all) {}
    void finish() {
        size_t held = 0;
        for (const std::string& reason : order_) {
            size_t n = counts_[reason];
            if (all_ || n <= kShown) continue;
            err_ << "dot4sim: warning: ... and " << n - kShown << " more: " << reason << "\n";
            held += n - kShown;
        }
        if (total_ == 0) return;
        err_ << "dot4sim import: " << total_ << (total_ == 1 ? " warning" : " warnings") << " ("
             << order_.size() << (order_.size() == 1 ? " reason)" : " reasons)");
        if (held) err_ << "; " << held << " not printed: --warnings all prints each one";
        err_ << "\n";
    }

  protected:
    int overflow(int c) override {
        if (c == EOF) return 0;
        line_ += static_cast<char>(c);
        if (c == '\n') take();
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i) overflow(static_cast<unsigned char>(s[i]));
        return n;
    }

  private:
    static constexpr size_t kShown = 5;

    void take() {
        ++total_;
        // "dot4sim: warning: FILE:LINE: REASON; what was done"
        std::string text = line_.substr(0, line_.size() - 1);
        size_t at = text.find(": warning: ");
        at = at == std::string::npos ? 0 : at + 11;
        for (size_t colon = text.find(':', at); colon != std::string::npos;
             colon = text.find(':', colon + 1)) {
            size_t digits = text.find_first_not_of("0123456789", colon + 1);
            if (digits > colon + 1 && text.compare(digits, 2, ": ") == 0) {
                at = digits + 2;
                break;
            }
        }
        std::string reason = text.substr(at, text.find("; ", at) - at);
        // Without a line, what a warning is about (a file, a key) comes first: its reason is
        // what it says last before its ';'.
        if (at == 0 || text.compare(at - 2, 2, ": ") != 0 || !std::isdigit(text[at - 3]))
            if (size_t last = reason.rfind(": "); last != std::string::npos)
                reason = reason.substr(last + 2);
        size_t& n = counts_[reason];
        if (n++ == 0) order_.push_back(reason);
        if (all_ || n <= kShown) err_ << line_;
        line_.clear();
    }

    std::ostream& err_;
    bool all_;
    std::string line_;
    std::map<std::string, size_t> counts_;
    std::vector<std::string> order_;
    size_t total_ = 0;
};

struct ImportArgs {
    std::string machine;
    std::vector<std::string> exports, listings;
    std::string root;                                       // a partition instead of exports
    bool staleHives = false;                                // dirty hives read as they are
    std::string windir;                                     // of several Windows directories
    std::vector<std::pair<std::string, std::string>> sets;  // "section.key", value
    bool allWarnings = false;
};

// 0 to go on, or the exit status (after --help, or a message on `err`).
int parseImportArgs(const std::vector<std::string>& a, ImportArgs& args, std::ostream& out,
                    std::ostream& err) {
    for (size_t i = 0; i < a.size(); ++i) {
        const std::string& s = a[i];
        if (s == "--help" || s == "-h") {
            out << kImportHelp;
            return -1;
        } else if (s == "--stale-hives") {
            args.staleHives = true;
        } else if (s == "--listing" || s == "--set" || s == "--warnings" || s == "--root" ||
                   s == "--windir") {
            const std::string* value = optionValue(a, i, "import", "a value", err);
            if (!value) return kStatusBadUsage;
            const std::string& v = *value;
            if (s == "--listing") {
                args.listings.push_back(v);
                continue;
            }
            if (s == "--root") {
                args.root = partitionRoot(v);
                continue;
            }
            if (s == "--windir") {
                args.windir = v;
                continue;
            }
            if (s == "--warnings") {
                if (v != "all") {
                    err << "dot4sim import: --warnings takes all, got '" << v << "'\n";
                    return kStatusBadUsage;
                }
                args.allWarnings = true;
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
    if ((args.staleHives || !args.windir.empty()) && args.root.empty()) {
        err << "dot4sim import: " << (args.staleHives ? "--stale-hives" : "--windir")
            << " is for --root\n";
        return kStatusBadUsage;
    }
    if (args.machine.empty() || (args.exports.empty() && args.root.empty())) {
        err << "dot4sim import: missing " << (args.machine.empty() ? "MACHINE" : "EXPORT") << "\n"
            << kImportHelp;
        return kStatusBadUsage;
    }
    return 0;
}

bool isOemCodePage(const std::string& name) {
    return name.size() == 12 && iequals(name.substr(0, 7), "system.") &&
           iequals(name.substr(7), "oemcp");
}

// The merged exports in the machine's own code page, [system] derived from them, and the
// machine.ini that follows (in `check`). 0 or the exit status, after a message on `err`.
int readExports(const ImportArgs& args, const PartitionImport& partition,
                std::unique_ptr<Registry>& reg, Derived& d, Machine& check, std::ostream& warnings,
                std::ostream& err) {
    auto readAll = [&](std::ostream& out) {
        reg = std::make_unique<Registry>();
        for (const std::string& file : args.exports)
            if (std::string why = readExport(*reg, file, out); !why.empty()) {
                err << "dot4sim import: cannot read " << file << ": " << why << "\n";
                return false;
            }
        return args.root.empty() || partition.read(*reg, out, err);
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
        if (isOemCodePage(name)) {  // listings only: no machine.ini key
            unsigned oem = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
                oem == 0) {
                err << "dot4sim import: --set system.oemcp needs a code page number, got '" << value
                    << "'\n";
                return kStatusBadUsage;
            }
            d.oemCodePage = oem;
        } else {
            d.ini.set(name.substr(0, dot), name.substr(dot + 1), value);
        }
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
        if (!readAll(warnings)) return kStatusBadUsage;
    } else {
        warnings << firstWarnings.str();
    }
    return 0;
}

// The listings, in the active code page, the first `noted` with how they were read; 0 or the
// exit status, after a message on `err`.
int readListings(const std::vector<std::string>& names, size_t noted,
                 const std::vector<std::string>& raw, Derived& d, Listing& l,
                 std::ostream& warnings, std::ostream& err) {
    for (size_t i = 0; i < raw.size(); ++i) {
        ListingEncoding e = listingEncoding(raw[i], d.oemCodePage);
        if (i < noted) d.notes.push_back("read: " + names[i] + " as " + e.why);
        if (std::string why = readListing(raw[i], names[i], e, l, warnings); !why.empty()) {
            err << "dot4sim import: cannot read " << names[i] << ": " << why << "\n";
            return kStatusBadUsage;
        }
    }
    return 0;
}

// machine.ini, registry.reg and the listed paths as empty files and folders, in `dir`; false
// after a message on `err`.
bool writeImage(const std::string& dir, const std::string& iniText, const Registry& reg,
                const Listing& l, size_t& files, size_t& folders, std::ostream& err) {
    {
        std::ofstream ini(dir + "/machine.ini", std::ios::binary);
        ini << iniText;
        std::ofstream regOut(dir + "/registry.reg", std::ios::binary);
        writeRegFile(reg, regOut);
        if (!ini.flush() || !regOut.flush()) {
            err << "dot4sim import: cannot write the image's machine.ini and registry.reg in "
                << dir << "\n";
            return false;
        }
    }
    // A folder's entry comes before what it holds.
    for (const Listing::Entry& e : l.entries) {
        if (e.drive && !e.folder) continue;
        const std::string host = dir + "/" + e.path;
        bool ok;
        if (e.folder) {
            ok = ::mkdir(host.c_str(), 0777) == 0;
            folders += !e.drive;
        } else {
            int fd =
                ::open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            ok = fd >= 0 && ::close(fd) == 0;
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

int importImage(const ImportArgs& args, std::ostream& out, std::ostream& warnings,
                std::ostream& err) {
    std::string why;
    if (!emptyOrMissing(args.machine, why)) {
        err << "dot4sim import: " << args.machine << " " << why << "\n";
        return kStatusBadUsage;
    }
    PartitionImport partition;
    partition.staleHives = args.staleHives;
    partition.windir = args.windir;
    if (!args.root.empty() && !partition.open(args.root, err)) return kStatusBadUsage;
    std::vector<std::string> listed(args.listings.size());
    for (size_t i = 0; i < args.listings.size(); ++i) {
        if (!readFile(args.listings[i], listed[i])) {
            err << "dot4sim import: cannot read " << args.listings[i] << ": "
                << std::strerror(errno) << "\n";
            return kStatusBadUsage;
        }
    }
    std::unique_ptr<Registry> reg;
    Derived d;
    Machine check;
    if (int status = readExports(args, partition, reg, d, check, warnings, err)) return status;
    const std::string& windows = check.config.system.windowsDirectory;
    std::vector<std::string> listingNames = args.listings;
    if (!args.root.empty()) {
        listed.push_back(partition.listing(windows));
        listingNames.push_back(args.root);
    }
    Listing l;
    if (int status = readListings(listingNames, args.listings.size(), listed, d, l, warnings, err))
        return status;
    std::vector<std::string>().swap(listed);
    const std::string iniText = d.ini.str() + (args.root.empty() ? "" : partition.source(windows));
    size_t files = 0, folders = 0;
    Staging staging(args.machine);
    if (!staging.create()) {
        err << "dot4sim import: cannot make a folder beside " << args.machine << ": "
            << std::strerror(errno) << "\n";
        return kStatusFailure;
    }
    if (!writeImage(staging.dir(), iniText, *reg, l, files, folders, err)) return kStatusFailure;
    if (!staging.commit()) {
        err << "dot4sim import: cannot rename " << staging.dir() << " to " << args.machine << ": "
            << std::strerror(errno) << "\n";
        return kStatusFailure;
    }
    noteAssumed(d, check.config.system);
    for (auto& n : partition.notes) out << n << "\n";
    for (auto& n : d.notes) out << n << "\n";
    out << "wrote " << args.machine << ": " << reg->keyCount() << " keys, " << files << " files, "
        << folders << " folders\n";
    return 0;
}

}  // namespace

int importMain(const std::vector<std::string>& a, std::ostream& out, std::ostream& err) {
    ImportArgs args;
    if (int status = parseImportArgs(a, args, out, err)) return status < 0 ? 0 : status;
    WarningDigest digest(err, args.allWarnings);
    std::ostream warnings(&digest);
    int status;
    try {
        status = importImage(args, out, warnings, err);
    } catch (const std::bad_alloc&) {
        // A refusal of what was given, not a fault of the program.
        err << "dot4sim import: not enough memory to read what was given; nothing was written\n";
        status = kStatusBadUsage;
    } catch (const std::exception& e) {
        err << "dot4sim import: " << e.what() << "; nothing was written\n";
        status = kStatusFailure;
    }
    digest.finish();
    return status;
}

}  // namespace simwin
