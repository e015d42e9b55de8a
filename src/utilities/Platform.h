// The version, Windows directory, file, privilege and restart services.
#pragma once

#include <string>

enum OSFamily { OS_UNKNOWN = 0, OS_WIN32S = 1, OS_WIN95 = 2, OS_WIN98 = 3, OS_WINNT = 4 };

class BOSVersion {
  public:
    virtual ~BOSVersion();
    OSFamily getOSFamily();
};

class BFileSystem {
  public:
    virtual ~BFileSystem();
    bool getWindowsDirectory(std::string& out);
    bool fileExists(std::string path);
};

class BSystem {
  public:
    virtual ~BSystem();
    bool setPrivilege(const char* name, bool enable);
    bool rebootSystem();
    bool deleteFileOnReboot(std::string path);
};
