// Dot4 port discovery, the device-interface class key, the print monitor and the port keys.
#include "registry_scenario.h"

using namespace regscenario;
using testsupport::TestImage;
using V = std::vector<std::string>;

namespace {

// One interface instance with its "Device Parameters" values.
std::string instance(const std::string& classKey, const std::string& name,
                     const std::string& values) {
    return "[" + kDeviceClasses + "\\" + classKey + "\\" + name + "\\#\\Device Parameters]\n" +
           values;
}

std::string found(const std::string& classKey, const std::string& name) {
    return "Key (" + kDeviceClasses + "\\" + classKey + "\\" + name +
           "\\#\\Device Parameters) FOUND";
}

const char* const kBase = "\"Base Name\"=\"Dot4\"\n";

}  // namespace

TEST(RegistryPorts, DiscoveryExaminesOnlyMatchingInstancesAndKeepsDuplicates) {
    const std::string dot4 = "##?#DOT4#VID_5E7A&PID_0C21&MI_00#1&1#" + kIface;
    TestImage image;
    prepare(image,
            // No enum keys at all: stackRemoved becomes true.
            instance(kIface, dot4, std::string(kBase) + "\"Port Number\"=dword:00000001\n") +
                instance(kIface, "#?#DOT4#SINGLE#" + kIface,
                         std::string(kBase) + "\"Port Number\"=dword:00000005\n") +
                // "{28" in the middle of the class key, lower case names.
                instance("X{28aaaa}", "##?#dot4#vid_5e7a#{28aaaa}",
                         std::string(kBase) + "\"Port Number\"=dword:0000002a\n") +
                instance("X{28aaaa}", "##?#DOT4#NOBRACE#{99}",
                         std::string(kBase) + "\"Port Number\"=dword:00000009\n") +
                instance("{53f56307}", "##?#X#{28cc}",
                         std::string(kBase) + "\"Port Number\"=dword:00000006\n") +
                instance("{28bbbb}", "##?#A#{28bbbb}", "\"Port Number\"=dword:00000003\n") +
                instance("{28bbbb}", "##?#B#{28bbbb}",
                         std::string(kBase) + "\"Port Number\"=dword:00000001\n") +
                "[" + kPorts + "\\Dot4_001]\n[" + kPorts + "\\Dot4_042]\n[" + kPorts +
                "\\Dot4_005]\n[" + kPorts + "\\LPT1:]\n");
    runLogged(image);

    V messages = phaseMessages(image);
    // Up to the class-key phase, which this test does not look at.
    messages.resize(std::min<size_t>(messages.size(), 13));
    EXPECT_EQ((V{kHklm + "\\enum\\USB\\VID_5E7A&PID_0C21 deletion FAILED",
                 found("X{28aaaa}", "##?#dot4#vid_5e7a#{28aaaa}"), "Port Number found 42",
                 // "Base Name" is missing: found, but no port.
                 found("{28bbbb}", "##?#A#{28bbbb}"), found("{28bbbb}", "##?#B#{28bbbb}"),
                 "Port Number found 1", found(kIface, dot4), "Port Number found 1",
                 kDeviceClasses + "\\" + kIface + " DELETED",
                 // stackRemoved is true and the monitor key is missing.
                 kMonitors + "\\Dot4 Monitor deletion FAILED", kPorts + "\\Dot4_042 DELETED",
                 kPorts + "\\Dot4_001 DELETED", kPorts + "\\Dot4_001 KEY NOT FOUND"}),
              messages);
    const std::string reg = image.registryText();
    EXPECT_EQ((V{"Dot4_005", "LPT1:"}), keysUnder(reg, kPorts));
    EXPECT_FALSE(hasKey(reg, kDeviceClasses + "\\" + kIface));
    EXPECT_TRUE(hasKey(reg, kDeviceClasses + "\\{28bbbb}\\##?#A#{28bbbb}\\#\\Device Parameters"));
    EXPECT_TRUE(hasKey(reg, kDeviceClasses + "\\X{28aaaa}"));
}

TEST(RegistryPorts, PortNamesArePaddedToThreeDigitsAndTheMonitorNeedsTheStackGone) {
    const std::string cls = "{28eeee}";
    TestImage image;
    prepare(
        image,
        "[HKEY_LOCAL_MACHINE\\enum\\DOT4\\VID_7A10&PID_0300&MI_00]\n"
        "[" +
            kMonitors + "\\Dot4 Monitor]\n" +
            // The number is read as four bytes whatever the value's type.
            instance(cls, "##?#1#{28eeee}", std::string(kBase) + "\"Port Number\"=hex:07,00\n") +
            instance(cls, "##?#2#{28eeee}",
                     std::string(kBase) + "\"Port Number\"=dword:0000007b\n") +
            instance(cls, "##?#3#{28eeee}",
                     std::string(kBase) + "\"Port Number\"=dword:000004d2\n") +
            instance(cls, "##?#4#{28eeee}",
                     std::string(kBase) + "\"Port Number\"=dword:80000001\n") +
            "[" + kPorts + "\\Dot4_007]\n[" + kPorts + "\\Dot4_123]\n");
    runLogged(image);

    V messages = phaseMessages(image);
    EXPECT_EQ((V{"Port Number found 7", "Port Number found 123", "Port Number found 1234",
                 "Port Number found -2147483647"}),
              startingWith(messages, "Port Number found "));
    EXPECT_EQ((V{kPorts + "\\Dot4_007 DELETED", kPorts + "\\Dot4_123 DELETED",
                 kPorts + "\\Dot4_ KEY NOT FOUND", kPorts + "\\Dot4_ KEY NOT FOUND"}),
              startingWith(messages, kPorts));
    EXPECT_TRUE(startingWith(messages, kMonitors).empty());
    EXPECT_EQ((V{"Dot4 Monitor"}), keysUnder(image.registryText(), kMonitors));
    EXPECT_EQ((V{}), keysUnder(image.registryText(), kPorts));
}

TEST(RegistryPorts, AParametersKeyThatCannotBeOpenedGivesNoPort) {
    const std::string name = "##?#DOT4#RO#" + kIface;
    TestImage image;
    // The values sit on the key opened before, where a failed switch would leave the reads.
    prepare(image,
            "[" + kDeviceClasses + "]\n" + kBase + "\"Port Number\"=dword:00000003\n" +
                instance(kIface, name, std::string(kBase) + "\"Port Number\"=dword:00000001\n") +
                "[" + kPorts + "\\Dot4_001]\n[" + kPorts + "\\Dot4_003]\n",
            "[registry]\r\n" + kDeviceClasses + "\\" + kIface + "\\" + name +
                "\\#\\Device Parameters=read_only\r\n");
    runLogged(image);
    V messages = phaseMessages(image);
    EXPECT_EQ((V{found(kIface, name)}), startingWith(messages, "Key ("));
    EXPECT_EQ((V{}), startingWith(messages, "Port Number found"));
    EXPECT_EQ((V{"Dot4_001", "Dot4_003"}), keysUnder(image.registryText(), kPorts));
}
