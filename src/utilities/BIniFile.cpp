#include "utilities/BIniFile.h"

#include <cstdio>

#include "log/BLogFile.h"
#include "platform/win32.h"
#include "uninstaller/Strings.h"

namespace {

const char* const kRenameSection = "[rename]";
const char* const kNulKey = "NUL";
const char* const kEquals = "=";
const char* const kTempName = "mirnul.ini";
// Where the old ini file waits until its replacement is in place.
const char* const kAsideName = "mirold.ini";

// fgets with this size reads at most 254 characters.
const int kReadSize = 255;

bool writeNulLines(std::FILE* out, const StringList& list) {
    bool ok = true;
    for (uint32_t i = 0; i < list.count(); ++i)
        ok = std::fprintf(out, "%s%s%s\n", kNulKey, kEquals, list.at(i).c_str()) >= 0 && ok;
    return ok;
}

bool closeChecked(std::FILE* f) {
    const bool hadError = std::ferror(f) != 0;
    return std::fclose(f) == 0 && !hadError;
}

// Only these mean the file is not there. Any other failure may hide a file that holds the
// restart-time operations other programs scheduled, so it must never be created over.
bool meansMissing(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

bool isMissing(const std::string& path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return meansMissing(GetLastError());
    FindClose(search);
    return false;
}

void logUnusable(BLogFile* log, int line, DWORD code) {
    if (!log) return;
    const uint32_t code32 = static_cast<uint32_t>(code);
    log->writeEvent(LC_GENERAL, LT_ERROR, LL_RELEASE, LOG_SOURCE_FILE, line,
                    "BIniFile: The ini file cannot be read; it is left as it is.", &code32,
                    sizeof code32);
}

}  // namespace

BIniFile::BIniFile(std::string fileName) : path_(fileName) {
    if (fileName.empty()) {
        LOG_INFO("BIniFile: Constructor - File name is null. ");
        return;
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(fileName.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        LOG_INFO("BIniFile: Constructor - File Found " + fileName);
        FindClose(search);
        return;
    }
    const DWORD code = GetLastError();
    if (!meansMissing(code)) {
        logUnusable(getLog(), __LINE__, code);
        path_.clear();
        return;
    }
    LOG_INFO("BIniFile: Constructor - File NOT Found");

    std::string directory;
    getDirectory(fileName, directory);
    search = FindFirstFileA(directory.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        LOG_INFO("BIniFile: Constructor - Directory created. " + directory);
        if (!CreateDirectoryA(directory.c_str(), nullptr)) return;
    } else {
        FindClose(search);
    }

    std::FILE* created = platformOpenFile(fileName.c_str(), "w");
    if (!created) {
        path_.clear();
        return;
    }
    std::fclose(created);
    LOG_INFO("BIniFile: Constructor - File created. " + fileName);
}

BIniFile::~BIniFile() {}

bool BIniFile::bWriteNULKeyString(std::string value) {
    StringList list(64);
    list.append(value);
    return bWriteNULKeyStringVector(list);
}

bool BIniFile::bWriteNULKeyStringVector(StringList list) {
    BLogFile* log = getLog();
    const bool detailed = log && log->levelThreshold == 0;

    if (path_.empty()) return false;
    std::FILE* in = platformOpenFile(path_.c_str(), "r");
    if (!in) {
        // A file that is there but cannot be opened (a sharing violation, a denied read, even
        // "not found" from a racing open) is not a missing one.
        const DWORD code = GetLastError();
        if (!meansMissing(code) || !isMissing(path_)) {
            logUnusable(log, __LINE__, code);
            return false;
        }
        if (detailed)
            log->writeEvent(LC_GENERAL, LT_INFO, LL_OMEGA, LOG_SOURCE_FILE, __LINE__,
                            "BIniFile::bWriteNULKeyStringVector: File DOESN'T exist." + path_,
                            nullptr, 0);
        std::FILE* out = platformOpenFile(path_.c_str(), "w");
        if (!out) return false;
        bool ok = std::fprintf(out, "%s\n", kRenameSection) >= 0;
        ok = writeNulLines(out, list) && ok;
        return closeChecked(out) && ok;
    }

    if (detailed)
        log->writeEvent(LC_GENERAL, LT_INFO, LL_OMEGA, LOG_SOURCE_FILE, __LINE__,
                        "BIniFile::bWriteNULKeyStringVector: File exists." + path_, nullptr, 0);

    std::FILE* out = platformOpenFile(kTempName, "w");
    if (!out) {
        std::fclose(in);
        return false;
    }

    // A line longer than one read is gathered whole, so it is tested as one line and the NUL
    // lines never land inside it.
    bool ok = true;
    bool sectionFound = false;
    bool atLineStart = true;
    std::string line;
    char buffer[kReadSize];
    for (;;) {
        const bool gotPiece = std::fgets(buffer, kReadSize, in) != nullptr;
        if (gotPiece) line += buffer;
        const bool lineComplete = !line.empty() && line.back() == '\n';
        if (gotPiece && !lineComplete) continue;
        if (line.empty()) break;

        ok = std::fprintf(out, "%s", line.c_str()) >= 0 && ok;
        atLineStart = lineComplete;
        if (dot4::containsNoCase(line, kRenameSection)) {
            // A last line without a line end still gets the NUL lines on lines of their own.
            if (!atLineStart) ok = std::fputc('\n', out) != EOF && ok;
            atLineStart = true;
            ok = writeNulLines(out, list) && ok;
            sectionFound = true;
        }
        line.clear();
        if (!gotPiece) break;
    }
    const bool readOk = std::ferror(in) == 0;
    std::fclose(in);

    if (!sectionFound) {
        if (!atLineStart) ok = std::fputc('\n', out) != EOF && ok;
        ok = std::fprintf(out, "%s\n", kRenameSection) >= 0 && ok;
        ok = writeNulLines(out, list) && ok;
    }
    ok = closeChecked(out) && ok;

    // An incomplete copy must never take the place of the ini file.
    if (!ok || !readOk) {
        DeleteFileA(kTempName);
        return false;
    }

    // The old file is set aside rather than deleted, and put back when the copy cannot take its
    // place: the restart-time operations other programs scheduled in it are never lost.
    std::string aside;
    getDirectory(path_, aside);
    if (!aside.empty()) aside += dot4::kSeparator;
    aside += kAsideName;
    DeleteFileA(aside.c_str());
    bool moved = MoveFileA(path_.c_str(), aside.c_str()) != 0;
    DWORD code = moved ? 0 : GetLastError();
    if (moved && !MoveFileA(kTempName, path_.c_str())) {
        code = GetLastError();
        MoveFileA(aside.c_str(), path_.c_str());
        moved = false;
    }
    if (!moved) {
        if (log) {
            const uint32_t code32 = static_cast<uint32_t>(code);
            log->writeEvent(LC_GENERAL, LT_ERROR, LL_RELEASE, LOG_SOURCE_FILE, __LINE__,
                            "BIniFile::bWriteNULKeyStringVector: Unable to move the temporary "
                            "ini file.",
                            &code32, sizeof code32);
        }
        return false;
    }
    DeleteFileA(aside.c_str());
    return true;
}

void BIniFile::getDirectory(std::string path, std::string& out) {
    const size_t slash = path.rfind('\\');
    out = slash == std::string::npos ? std::string() : path.substr(0, slash);
}
