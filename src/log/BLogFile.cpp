#include "log/BLogFile.h"

#include <cctype>
#include <cstdint>
#include <ctime>

#include "platform/win32.h"

BLogFile* g_log = nullptr;

namespace {

const char* const kCategoryNames[] = {"file", "general", "memory", "network", "prntpath"};
const char* const kTypeNames[] = {"assert", "error", "info", "warn"};
const char* const kLevelNames[] = {"omega", "alpha", "beta", "final", "release"};

// No caller passes a code outside the tables; should one appear, its number is printed.
template <size_t N>
std::string codeName(const char* const (&names)[N], int code) {
    if (code >= 0 && static_cast<size_t>(code) < N) return names[code];
    return std::to_string(code);
}

struct Column {
    const char* title;
    const char* rule;
    unsigned width;
};

const Column kColumns[7] = {
    {"event", "-----", 6},
    {"category", "--------", 9},
    {"type", "-------", 8},
    {"level", "-------", 8},
    {"source", "---------------", 16},
    {"line", "-----", 6},
    {"timestamp", "------------------------", 24},
};

const unsigned kMessageWidth = 74;
const unsigned kMessageIndent = 2;
const char kRewind = '\x01';

// Addresses are printed as their low 32 bits so that every build lays rows out alike.
std::string hexAddress(const void* p) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(p) & 0xFFFFFFFFu));
    return buf;
}

}  // namespace

BLogFile::BLogFile(const std::string& fileName, unsigned short recordsPerCycle,
                   bool deleteAtRestart)
    : levelThreshold(4),
      fileName_(fileName),
      recordCounter_(0),
      recordsPerCycle_(recordsPerCycle),
      file_(nullptr),
      opened_(false) {
    file_ = platformOpenFile(fileName_.c_str(), "w+");
    opened_ = file_ != nullptr;
    if (opened_ && deleteAtRestart) deleteLogOnReboot();
}

BLogFile::~BLogFile() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    opened_ = false;
    if (g_log == this) g_log = nullptr;
}

bool BLogFile::deleteLogOnReboot() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(&info)) return false;
    if (info.dwPlatformId != VER_PLATFORM_WIN32_NT) return false;
    return MoveFileExA(fileName_.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

void BLogFile::putChar(char c, unsigned count) {
    if (!file_) return;
    if (c == kRewind) std::rewind(file_);
    for (unsigned i = 0; i < count; ++i) {
        if (std::fputc(static_cast<unsigned char>(c), file_) == EOF) break;
    }
}

void BLogFile::formatColumn(const std::string& text, unsigned width, unsigned indent, bool wrap,
                            bool lineEnd) {
    std::string s = text;
    const size_t w = width ? width : s.size();
    if (wrap) {
        const size_t length = s.size();
        for (size_t p = 0; p < length; ++p) {
            if (w != 0 && p % w == 0) {
                s.insert(p, indent, ' ');
                if (p > 0) s.insert(p, 1, '\n');
            }
        }
    } else {
        s.insert(0, indent, ' ');
        if (s.size() > w)
            s.resize(w);
        else
            s.append(w - s.size(), ' ');
    }
    if (lineEnd) s += '\n';
    for (char c : s) putChar(c, 1);
}

void BLogFile::writeTitleLine() {
    for (int i = 0; i < 7; ++i)
        formatColumn(kColumns[i].title, kColumns[i].width, 0, false, i == 6);
}

void BLogFile::writeRuleLine() {
    for (int i = 0; i < 7; ++i) formatColumn(kColumns[i].rule, kColumns[i].width, 0, false, i == 6);
}

void BLogFile::writeHexDump(const unsigned char* data, uint32_t length) {
    std::string text;
    std::string out;
    for (uint32_t r = 0; r < length; ++r) {
        const uint32_t col = r % 16;
        if (col == 0) {
            if (r == 0)
                out += "\n  " + hexAddress(data + r) + ": ";
            else
                out += " " + text + "\n  " + hexAddress(data + r) + ": ";
            text.assign(16, ' ');
        }
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x ", data[r]);
        out += hex;
        text[col] = std::isprint(data[r]) ? static_cast<char>(data[r]) : '.';
    }
    const uint32_t t = length % 16;
    if (t != 0) {
        out.append(48 - 3 * t, ' ');
        text.resize(t);
    }
    out += " " + text + "\n\n";
    for (char c : out) putChar(c, 1);
}

void BLogFile::writeEvent(int category, int type, int level, const std::string& sourceFile,
                          int line, const std::string& message, const void* data,
                          uint32_t dataLength) {
    if (recordsPerCycle_ != 0 && recordCounter_ % recordsPerCycle_ == 0) {
        putChar(kRewind, 1);
        writeTitleLine();
        writeRuleLine();
    }
    const unsigned n = recordCounter_;
    recordCounter_ = static_cast<uint16_t>(n + 1);

    char number[16];
    std::snprintf(number, sizeof number, "%04d", static_cast<int>(n));
    formatColumn(number, kColumns[0].width, 0, false, false);
    formatColumn(codeName(kCategoryNames, category), kColumns[1].width, 0, false, false);
    formatColumn(codeName(kTypeNames, type), kColumns[2].width, 0, false, false);
    formatColumn(codeName(kLevelNames, level), kColumns[3].width, 0, false, false);

    std::string source = sourceFile;
    const size_t slash = source.rfind('\\');
    if (!source.empty() && slash != std::string::npos) source = source.substr(slash + 1);
    formatColumn(source, kColumns[4].width, 0, false, false);

    char lineText[16];
    std::snprintf(lineText, sizeof lineText, "%d", line);
    formatColumn(lineText, kColumns[5].width, 0, false, false);

    std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    const char* stamp = local ? std::asctime(local) : nullptr;
    formatColumn(stamp ? stamp : "", kColumns[6].width, 0, false, true);

    if (!message.empty()) {
        putChar('\n', 1);
        formatColumn(message, kMessageWidth, kMessageIndent, true, true);
        if (!data) {
            putChar('\n', 1);
            return;
        }
    }
    if (!data) return;
    writeHexDump(static_cast<const unsigned char*>(data), dataLength);
}
