// Writes NUL lines into the [rename] section of an ini file (wininit.ini on Windows 95/98).
#pragma once

#include <string>

#include "utilities/BObject.h"
#include "utilities/StringList.h"

class BIniFile : public BObject {
  public:
    explicit BIniFile(std::string fileName);
    virtual ~BIniFile();

    bool bWriteNULKeyString(std::string value);
    bool bWriteNULKeyStringVector(StringList list);
    void getDirectory(std::string path, std::string& out);

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};
