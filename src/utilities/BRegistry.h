// The uninstaller's one gateway to the registry; keys are named by key path
// ("HKEY_LOCAL_MACHINE\\Software\\...").
#pragma once

#include <string>

#include "platform/win32.h"
#include "utilities/BObject.h"
#include "utilities/StringList.h"

class BRegistry : public BObject {
  public:
    static const char* const kDefaultKeyPath;  // HKEY_LOCAL_MACHINE\Software\Quillmark\Corlis
    static const char* const kKeyClass;        // Varnholt

    BRegistry();
    virtual ~BRegistry();
    BRegistry(const BRegistry&) = delete;
    BRegistry& operator=(const BRegistry&) = delete;

    const std::string& className() override;

    bool setWorkingKey(std::string keyPath);
    std::string getWorkingKey() const;
    bool queryStringValue(std::string valueName, std::string& text);
    bool queryDwordValue(std::string valueName, DWORD& number);
    bool keyExists(std::string keyPath);
    bool enumSubkeys(std::string keyPath, StringList& list);
    bool deleteKeyTree(std::string keyPath);

  private:
    bool hasRootName(const std::string& path) const;
    bool getRootKey(const std::string& path, HKEY& root) const;
    bool getSubKey(const std::string& path, std::string& subKey) const;
    bool ensureWorkingKey(const std::string& path);
    bool closeWorkingKey();

    bool opened_;
    CRITICAL_SECTION lock_;
    std::string classNameCache_;
    std::string workingPath_;
    HKEY workingKey_;
    HKEY workingRoot_;
};
