#include "utilities/BObject.h"

#include <typeinfo>

#include "log/BLogFile.h"

namespace {
int32_t g_processValue = 0;  // never set
}

BLogFile* BObject::getLog() { return g_log; }

int32_t BObject::getProcessValue() { return g_processValue; }

const std::string& BObject::className() {
    className_ = typeid(this).name();
    return className_;
}
