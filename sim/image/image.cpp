#include "image/image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <functional>
#include <set>
#include <sstream>

#include "model/codepage.h"
#include "model/drives.h"
#include "model/registry.h"
#include "model/spooler.h"
#include "image/regfile.h"
#include "image/transaction.h"

namespace simwin {

namespace {

// Reads one of the image's own files. Missing is fine (false); a link, folder or special file in
// its place is refused by name, and a FIFO is never opened.
bool readImageFile(const std::string& path, std::string& out) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return false;
        throw ImageError(path, 0, std::string("cannot be read: ") + std::strerror(errno));
    }
    if (S_ISLNK(st.st_mode)) throw ImageError(path, 0, "is a symbolic link, not a file");
    if (S_ISDIR(st.st_mode)) throw ImageError(path, 0, "is a folder, not a file");
    if (!S_ISREG(st.st_mode)) throw ImageError(path, 0, "is a special file, not a file");
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        throw ImageError(path, 0, "cannot be read");
    }
    out.clear();
    out.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            throw ImageError(path, 0, std::string("cannot be read: ") + std::strerror(errno));
        }
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

}  // namespace

std::unique_ptr<Machine> loadImage(const std::string& dir, std::ostream& notes) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 && errno == ENOENT) throw ImageError(dir, 0, "does not exist");
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw ImageError(dir, 0, "not a machine image: expected a directory");
    auto m = std::make_unique<Machine>();
    m->config.imageDir = dir;
    // The lock comes first: a command that is still writing the image is not read half-done.
    auto txn = Transaction::begin(dir, notes);
    m->run.files = std::make_unique<FileSystem>(dir, *txn);
    m->run.staging = std::move(txn);
    std::string text;
    std::string ini = dir + "/machine.ini";
    if (readImageFile(ini, text)) parseMachineIni(*m, text, ini);
    m->run.files->setShortNames(m->config.shortNames);
    std::string reg = dir + "/registry.reg";
    bool haveRegistry = readImageFile(reg, text);
    setActiveCodePage(CodePage::get(m->config.system.codePage, m->config.isNT()));
    if (haveRegistry) loadRegFile(*m->run.registry, text, reg, &notes);
    std::string().swap(text);
    m->run.registry->settle(m->config, reg, notes);
    std::string outcome = dir + "/outcome.ini";
    if (::lstat(outcome.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw ImageError(outcome, 0,
                         "is a link, folder or special file; dot4sim will not replace it");
    if (!haveRegistry)
        notes << "dot4sim: warning: " << reg
              << " is missing; the run starts with an empty registry\n";
    m->run.spooler = std::make_unique<Spooler>(*m);
    return m;
}

std::string formatOutcome(const Outcome& o) {
    std::ostringstream s;
    s << "[run]\n"
      << "exit_code=" << o.exitCode << "\n"
      << "command_line=" << o.commandLine << "\n\n"
      << "[prompt]\n"
      << "shown=" << o.promptShown << "\n"
      << "text=" << o.promptText << "\n"
      << "caption=" << o.promptCaption << "\n"
      << "style=" << o.promptStyle << "\n"
      << "answer=" << o.promptAnswer << "\n\n"
      << "[restart]\n"
      << "requested=" << (o.restartRequested ? 1 : 0) << "\n"
      << "flags=" << (o.restartFlags ? std::to_string(*o.restartFlags) : "") << "\n\n"
      << "[spooler]\n";
    for (size_t i = 0; i < o.spoolerDeleted.size(); ++i)
        s << "deleted." << i + 1 << "=" << o.spoolerDeleted[i] << "\n";
    for (size_t i = 0; i < o.spoolerFailed.size(); ++i)
        s << "failed." << i + 1 << "=" << o.spoolerFailed[i].first << "="
          << o.spoolerFailed[i].second << "\n";
    return s.str();
}

void saveImage(Machine& m, bool writeOutcome) {
    if (!m.run.files) throw std::logic_error("simwin: saveImage needs a loaded image");
    std::ostringstream reg;
    writeRegFile(*m.run.registry, reg);
    Transaction& txn = transactionOf(m);
    txn.stageImageFile("registry.reg", reg.str());
    if (writeOutcome) txn.stageImageFile("outcome.ini", formatOutcome(m.report.outcome));
    txn.commit(*m.run.files);
}

}  // namespace simwin
