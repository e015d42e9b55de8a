// Printers bound to Dot4 ports: port checks, deletion, and the names saved for the spooler.
#include "registry_scenario.h"

using namespace regscenario;
using testsupport::TestImage;
using V = std::vector<std::string>;

namespace {

// Interfaces reporting the given port numbers, in this order.
std::string ports(const V& numbers) {
    std::string text;
    for (size_t i = 0; i < numbers.size(); ++i) {
        const std::string name = "##?#P" + std::to_string(i) + "#" + kIface;
        text +=
            "[" + kDeviceClasses + "\\" + kIface + "\\" + name +
            "\\#\\Device Parameters]\n\"Base Name\"=\"Dot4\"\n\"Port Number\"=dword:" + numbers[i] +
            "\n";
    }
    return text;
}

std::string printer(const std::string& name, const std::string& port) {
    return "[" + kPrinters + "\\" + name + "]\n" +
           (port.empty() ? "" : "\"Port\"=\"" + port + "\"\n");
}

std::string check(const std::string& name, const std::string& port, const std::string& expected) {
    return kPrinters + "\\" + name + " contains Port (" + port + ") which should be eqaul to (" +
           expected + ") if it is to be deleted.";
}

std::string deleted(const std::string& name) {
    return kPrinters + "\\" + name + " DELETED and Saved for deletion from the printers folder.";
}

V spoolerDeleted(const TestImage& image) {
    V out;
    for (int i = 1;; ++i) {
        std::string name = image.outcome("spooler", "deleted." + std::to_string(i));
        if (name.empty()) return out;
        out.push_back(name);
    }
}

// The clean-up's records about the printers key.
V printerMessages(const TestImage& image) { return startingWith(phaseMessages(image), kPrinters); }

}  // namespace

TEST(RegistryPrinters, PortValuesAreSearchedForEveryPortNumberUntilOneMatches) {
    const std::string fits = std::string(247, 'x') + "Dot4_001";     // 255 characters
    const std::string tooLong = std::string(248, 'x') + "Dot4_001";  // 256: no room for NUL
    TestImage image;
    prepare(image, ports({"00000001", "00000002"}) + printer("Alpha", "DOT4_001") +
                       printer("Beta", "LPT1:,Dot4_002") + printer("Delta", "Dot4_0012") +
                       printer("Epsilon", "") + printer("Eta", fits) + printer("Gamma", "LPT2:") +
                       printer("Theta", "Dot4_002") + "[" + kPrinters + "\\Theta\\DsSpooler]\n" +
                       printer("Zeta", tooLong));
    runLogged(image);

    EXPECT_EQ(
        (V{check("Alpha", "DOT4_001", "Dot4_001"), deleted("Alpha"),
           check("Beta", "LPT1:,Dot4_002", "Dot4_001"), check("Beta", "LPT1:,Dot4_002", "Dot4_002"),
           deleted("Beta"), check("Delta", "Dot4_0012", "Dot4_001"), deleted("Delta"),
           check("Eta", fits, "Dot4_001"), deleted("Eta"), check("Gamma", "LPT2:", "Dot4_001"),
           check("Gamma", "LPT2:", "Dot4_002"), check("Theta", "Dot4_002", "Dot4_001"),
           check("Theta", "Dot4_002", "Dot4_002"), deleted("Theta")}),
        printerMessages(image));
    EXPECT_EQ((V{"Epsilon", "Gamma", "Zeta"}), keysUnder(image.registryText(), kPrinters));
    EXPECT_EQ((V{"Alpha", "Beta", "Delta", "Eta", "Theta"}), spoolerDeleted(image));
}

TEST(RegistryPrinters, AFourDigitPortNumberMatchesAnyDot4Port) {
    TestImage image;
    prepare(image, ports({"000003e8"}) + printer("Any", "dOT4_999") + printer("Lpt", "LPT1:"));
    runLogged(image);
    EXPECT_EQ(
        (V{check("Any", "dOT4_999", "Dot4_"), deleted("Any"), check("Lpt", "LPT1:", "Dot4_")}),
        printerMessages(image));
    EXPECT_EQ((V{"Any"}), spoolerDeleted(image));
}

TEST(RegistryPrinters, WithoutPortNumbersNothingIsCheckedOrSaved) {
    TestImage image;
    prepare(image, printer("Office", "Dot4_001"));
    runLogged(image);
    EXPECT_EQ((V{}), printerMessages(image));
    EXPECT_EQ((V{"Office"}), keysUnder(image.registryText(), kPrinters));
    EXPECT_EQ((V{}), spoolerDeleted(image));
}

TEST(RegistryPrinters, UndeletableKeyIsStillSavedAndUnopenableKeyIsSkipped) {
    TestImage image;
    // The printers key carries a "Port" value itself: a printer whose own key cannot be opened
    // must not be judged by it.
    prepare(image,
            ports({"00000001"}) + "[" + kPrinters + "]\n\"Port\"=\"Dot4_001\"\n" +
                printer("Locked", "Dot4_001") + printer("Stuck", "Dot4_001"),
            "[registry]\r\n" + kPrinters + "\\Locked=no_access\r\n" + kPrinters +
                "\\Stuck=no_delete\r\n[spooler]\r\nStuck=delete=5\r\n");
    runLogged(image);
    EXPECT_EQ((V{check("Stuck", "Dot4_001", "Dot4_001"), kPrinters + "\\Stuck deletion FAILED"}),
              printerMessages(image));
    const std::string reg = image.registryText();
    EXPECT_EQ((V{"Locked", "Stuck"}), keysUnder(reg, kPrinters));
    EXPECT_TRUE(hasKey(reg, kDefaultKey));
    // Saved all the same: the spooler was asked (and, as configured, refused).
    EXPECT_EQ((V{}), spoolerDeleted(image));
    EXPECT_EQ("Stuck=5", image.outcome("spooler", "failed.1"));
    EXPECT_EQ("", image.outcome("spooler", "failed.2"));
}

TEST(RegistryPrinters, APrintersKeyThatCannotBeOpenedSkipsThePhase) {
    TestImage image;
    // Listing the default key in its place would take Ghost for a printer.
    prepare(image, ports({"00000001"}) + "[" + kDefaultKey + "\\Ghost]\n\"Port\"=\"Dot4_001\"\n",
            "[registry]\r\n" + kPrinters + "=no_create\r\n");
    runLogged(image);
    V messages = phaseMessages(image);
    EXPECT_EQ((V{}), printerMessages(image));
    EXPECT_TRUE(startingWith(messages, kDefaultKey).empty());
    EXPECT_EQ(1u, std::count(messages.begin(), messages.end(),
                             "BRegistry::setWorkingKey : RegCreateKeyEx FAILED on Varnholt"));
    EXPECT_TRUE(hasKey(image.registryText(), kDefaultKey + "\\Ghost"));
    EXPECT_EQ((V{}), spoolerDeleted(image));
}
