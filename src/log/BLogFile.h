// The diagnostic log: fixed-column, timestamped records, rewritten from its start every
// recordsPerCycle records.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

enum LogCategory { LC_FILE = 0, LC_GENERAL = 1, LC_MEMORY = 2, LC_NETWORK = 3, LC_PRNTPATH = 4 };
enum LogType { LT_ASSERT = 0, LT_ERROR = 1, LT_INFO = 2, LT_WARN = 3 };
enum LogLevel { LL_OMEGA = 0, LL_ALPHA = 1, LL_BETA = 2, LL_FINAL = 3, LL_RELEASE = 4 };

class BLogFile {
  public:
    BLogFile(const std::string& fileName, unsigned short recordsPerCycle, bool deleteAtRestart);
    virtual ~BLogFile();
    BLogFile(const BLogFile&) = delete;
    BLogFile& operator=(const BLogFile&) = delete;

    void writeEvent(int category, int type, int level, const std::string& sourceFile, int line,
                    const std::string& message, const void* data, uint32_t dataLength);

    bool isOpen() const { return opened_; }

    // The utility classes write their level-omega records only when this is 0.
    int32_t levelThreshold;

  private:
    void putChar(char c, unsigned count);
    void formatColumn(const std::string& text, unsigned width, unsigned indent, bool wrap,
                      bool lineEnd);
    void writeTitleLine();
    void writeRuleLine();
    void writeHexDump(const unsigned char* data, uint32_t length);
    bool deleteLogOnReboot();

    std::string fileName_;
    uint16_t recordCounter_;
    uint16_t recordsPerCycle_;
    std::FILE* file_;
    bool opened_;
};

// The process-wide log handle: null when logging is off.
extern BLogFile* g_log;

// The base name of a source path, whichever separator the compiler used, so the log's source
// column shows the caller's own file name on every build.
constexpr const char* sourceFileName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    return base;
}

#define LOG_SOURCE_FILE (sourceFileName(__FILE__))

// A record of the uninstall steps: category general, type info, level release; skipped
// without a log.
#define LOG_INFO(message)                                                                 \
    do {                                                                                  \
        if (g_log)                                                                        \
            g_log->writeEvent(LC_GENERAL, LT_INFO, LL_RELEASE, LOG_SOURCE_FILE, __LINE__, \
                              (message), nullptr, 0);                                     \
    } while (0)
