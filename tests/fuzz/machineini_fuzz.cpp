// machine.ini: read, or refused with the file and a line.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    simwin::Machine m;
    try {
        simwin::parseMachineIni(m, text, "machine.ini");
    } catch (const simwin::ImageError& e) {
        fuzz::checkRefusal(e, "machine.ini");
    }
    fuzz::checkOnDisk(text, "machine.ini");
    return 0;
}
