// Shared helpers of the registry clean-up scenarios: run an image with the log on and read back
// the keys left and the clean-up's own records.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "TestImage.h"
#include "model/machine.h"

namespace regscenario {

const std::string kHklm = "HKEY_LOCAL_MACHINE";
const std::string kCcs = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet";
const std::string kDeviceClasses = kCcs + "\\Control\\DeviceClasses";
const std::string kIface = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
const std::string kMonitors = kCcs + "\\Control\\Print\\Monitors";
const std::string kPorts = kCcs + "\\Control\\Print\\Ports";
const std::string kPrinters = kCcs + "\\Control\\Print\\Printers";
const std::string kClass = kCcs + "\\Services\\Class";
const std::string kDefaultKey = "HKEY_LOCAL_MACHINE\\Software\\Quillmark\\Corlis";

// Every key header of a registry.reg text, in file order.
inline std::vector<std::string> keysOf(const std::string& regText) {
    std::vector<std::string> keys;
    std::istringstream in(regText);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > 2 && line.front() == '[' && line.back() == ']')
            keys.push_back(line.substr(1, line.size() - 2));
    }
    return keys;
}

// The keys strictly below `prefix`, in file order (the prefix key itself excluded).
inline std::vector<std::string> keysUnder(const std::string& regText, const std::string& prefix) {
    std::vector<std::string> out;
    const std::string p = simwin::upper(prefix + "\\");
    for (const std::string& k : keysOf(regText)) {
        if (simwin::upper(k).rfind(p, 0) == 0) out.push_back(k.substr(p.size()));
    }
    return out;
}

inline bool hasKey(const std::string& regText, const std::string& path) {
    for (const std::string& k : keysOf(regText))
        if (simwin::iequals(k, path)) return true;
    return false;
}

// The lines that follow a key's header up to the next header.
inline std::vector<std::string> linesOfKey(const std::string& regText, const std::string& path) {
    std::vector<std::string> out;
    std::istringstream in(regText);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() == '[') {
            inside = simwin::iequals(line, "[" + path + "]");
            continue;
        }
        if (inside && !line.empty()) out.push_back(line);
    }
    return out;
}

// The records from "Begin removeRegistryEntries()" to "Finished removeRegistryEntries()".
inline std::vector<std::string> cleanupMessages(const testsupport::TestImage& image) {
    std::vector<std::string> out;
    bool inside = false;
    for (const testsupport::LogRecord& r : image.log()) {
        if (r.message == "Begin removeRegistryEntries()") inside = true;
        if (inside) out.push_back(r.message);
        if (r.message == "Finished removeRegistryEntries()") break;
    }
    return out;
}

// The clean-up's records without the frame, for comparing with a scenario's expectation.
inline std::vector<std::string> phaseMessages(const testsupport::TestImage& image) {
    std::vector<std::string> all = cleanupMessages(image);
    if (all.size() < 2) return {};
    return std::vector<std::string>(all.begin() + 1, all.end() - 1);
}

// The messages of `all` that start with `prefix`, in order.
inline std::vector<std::string> startingWith(const std::vector<std::string>& all,
                                             const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& m : all)
        if (m.rfind(prefix, 0) == 0) out.push_back(m);
    return out;
}

// An image with `registry` (key headers and values, CRLF added), an NT machine answering No.
inline void prepare(testsupport::TestImage& image, const std::string& registry,
                    const std::string& extraIni = "") {
    // These images test the program's logic, which looks for devices in HKEY_LOCAL_MACHINE\enum
    // as 95/98 keep them; an NT machine cannot have that key, and could not create it.
    std::string crlf = "[HKEY_LOCAL_MACHINE\\enum]\r\n\r\n";
    for (char c : registry) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    image.registry(crlf);
    image.machineIni("[system]\r\nplatform=2\r\n[prompt]\r\nanswer=no\r\n" + extraIni);
}

// Runs with the log on and checks that the run itself went through.
inline void runLogged(testsupport::TestImage& image) {
    testsupport::TestImage::Result r = image.run({"-l"});
    ASSERT_EQ(0, r.status) << r.err;
}

}  // namespace regscenario
