#include "uninstaller/Dot4Uninstaller.h"

#include "uninstaller/Strings.h"

BMSPrinter::~BMSPrinter() {}

Dot4Uninstaller::Dot4Uninstaller() : stackRemoved(false), savedPrinters(64) {}

Dot4Uninstaller::~Dot4Uninstaller() {}

std::string Dot4Uninstaller::padPortNumber(std::string number) {
    switch (number.size()) {
        case 1:
            return dot4::kZeroFill2 + number;
        case 2:
            return dot4::kZeroFill1 + number;
        case 3:
            return number;
        default:
            return std::string();
    }
}

std::string Dot4Uninstaller::dot4PortName(const std::string& number) {
    std::string name = dot4::kDot4PortPrefix;
    name.insert(name.size(), padPortNumber(number));
    return name;
}
