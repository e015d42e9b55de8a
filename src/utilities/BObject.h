// Root of the utility classes that reach the log.
#pragma once

#include <cstdint>
#include <string>

class BLogFile;

class BObject {
  public:
    virtual BLogFile* getLog();
    virtual int32_t getProcessValue();  // a process-wide value nothing sets or reads
    virtual const std::string& className();

  protected:
    BObject() = default;
    ~BObject() = default;  // each derived class has its own virtual destructor
    std::string className_;
};
