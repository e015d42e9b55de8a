// The sample machine images under examples/machines do what their READMEs say.
#include <fstream>
#include <sstream>

#include "registry_scenario.h"

using namespace regscenario;
using testsupport::TestImage;
using V = std::vector<std::string>;

namespace {

std::string sampleFile(const std::string& image, const std::string& name) {
    std::ifstream in(std::string(SOURCE_DIR) + "/examples/machines/" + image + "/" + name,
                     std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void loadSample(TestImage& image, const std::string& name) {
    const std::string reg = sampleFile(name, "registry.reg");
    ASSERT_EQ(0u, reg.rfind("REGEDIT4\r\n", 0)) << name;
    image.registry(reg);
    image.machineIni(sampleFile(name, "machine.ini"));
}

}  // namespace

// The NT samples keep their devices where NT does, in the control set's Enum. The program looks
// for them in HKEY_LOCAL_MACHINE\enum, which NT neither has nor lets it create: it finds no device,
// takes the stack for unused, and removes all of it.
const std::string kSet = "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001";
std::string inSet(const std::string& ccsPath) { return kSet + ccsPath.substr(kCcs.size()); }

TEST(RegistrySamples, OnlyDeviceOnNtSeesNoDeviceAndRemovesTheStack) {
    TestImage image;
    loadSample(image, "only-device");
    const V devices = keysUnder(sampleFile("only-device", "registry.reg"), kSet + "\\Enum");
    runLogged(image);
    const std::string reg = image.registryText();
    EXPECT_EQ(devices, keysUnder(reg, kSet + "\\Enum"));
    EXPECT_EQ((V{}), keysUnder(reg, kHklm + "\\enum"));
    EXPECT_EQ((V{"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"}), keysUnder(reg, inSet(kDeviceClasses)));
    EXPECT_EQ((V{"Local Port"}), keysUnder(reg, inSet(kMonitors)));
    EXPECT_EQ((V{"LPT1:"}), keysUnder(reg, inSet(kPorts)));
    EXPECT_EQ((V{"Plotter"}), keysUnder(reg, inSet(kPrinters)));
    EXPECT_EQ((V{"Keyboard", "Keyboard\\0000", "{4d36e96b-e325-11ce-bfc1-08002be10318}"}),
              keysUnder(reg, inSet(kClass)));
    EXPECT_EQ("Office", image.outcome("spooler", "deleted.1"));
    EXPECT_EQ("", image.outcome("spooler", "deleted.2"));
    ASSERT_EQ(";class=\"Varnholt\"", linesOfKey(reg, kDefaultKey).at(0));
    // The saved file keeps the image's layout: no CurrentControlSet tree.
    EXPECT_EQ(reg.find("CurrentControlSet"), std::string::npos);
}

TEST(RegistrySamples, SharedStackOnNtCannotSeeTheOtherDevice) {
    TestImage image;
    loadSample(image, "shared-stack");
    const V devices = keysUnder(sampleFile("shared-stack", "registry.reg"), kSet + "\\Enum");
    runLogged(image);
    const std::string reg = image.registryText();
    EXPECT_EQ(devices, keysUnder(reg, kSet + "\\Enum"));
    EXPECT_EQ((V{}), keysUnder(reg, inSet(kDeviceClasses)));
    // The monitor and the class keys the other device still uses go as well.
    EXPECT_EQ((V{}), keysUnder(reg, inSet(kMonitors)));
    EXPECT_EQ((V{"Dot4_001"}), keysUnder(reg, inSet(kPorts)));
    EXPECT_EQ((V{"Reception"}), keysUnder(reg, inSet(kPrinters)));
    EXPECT_EQ((V{"DOT4", "DOT4\\0001", "DOT4PRINT", "DOT4PRINT\\0000", "DOT4USB", "DOT4USB\\0000"}),
              keysUnder(reg, inSet(kClass)));
    EXPECT_EQ("Office", image.outcome("spooler", "deleted.1"));
    EXPECT_EQ("", image.outcome("spooler", "deleted.2"));
}
