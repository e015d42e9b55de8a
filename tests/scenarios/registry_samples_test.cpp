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

TEST(RegistrySamples, OnlyDeviceRemovesTheWholeStack) {
    TestImage image;
    loadSample(image, "only-device");
    runLogged(image);
    const std::string reg = image.registryText();
    EXPECT_EQ((V{"USB", "USB\\VID_1111&PID_2222"}), keysUnder(reg, kHklm + "\\enum"));
    EXPECT_EQ((V{"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"}), keysUnder(reg, kDeviceClasses));
    EXPECT_EQ((V{"Local Port"}), keysUnder(reg, kMonitors));
    EXPECT_EQ((V{"LPT1:"}), keysUnder(reg, kPorts));
    EXPECT_EQ((V{"Plotter"}), keysUnder(reg, kPrinters));
    EXPECT_EQ((V{"Keyboard", "Keyboard\\0000", "{4d36e96b-e325-11ce-bfc1-08002be10318}"}),
              keysUnder(reg, kClass));
    EXPECT_EQ("Office", image.outcome("spooler", "deleted.1"));
    EXPECT_EQ("", image.outcome("spooler", "deleted.2"));
    ASSERT_EQ(";class=\"Varnholt\"", linesOfKey(reg, kDefaultKey).at(0));
}

TEST(RegistrySamples, SharedStackKeepsWhatTheOtherDeviceUses) {
    TestImage image;
    loadSample(image, "shared-stack");
    runLogged(image);
    const std::string reg = image.registryText();
    EXPECT_EQ((V{"DOT4", "DOT4\\VID_7A10&PID_0300&MI_00", "DOT4PRT",
                 "DOT4PRT\\VID_7A10&PID_0300&MI_00&PRINT", "DOT4USB", "DOT4USB\\VID_7A10&PID_0300",
                 "USB", "USB\\VID_7A10&PID_0300"}),
              keysUnder(reg, kHklm + "\\enum"));
    EXPECT_EQ((V{}), keysUnder(reg, kDeviceClasses));
    EXPECT_EQ((V{"Dot4 Monitor"}), keysUnder(reg, kMonitors));
    EXPECT_EQ((V{"Dot4_001"}), keysUnder(reg, kPorts));
    EXPECT_EQ((V{"Reception"}), keysUnder(reg, kPrinters));
    EXPECT_EQ(
        (V{"DOT4", "DOT4\\0001", "DOT4PRINT", "DOT4PRINT\\0000", "DOT4USB", "DOT4USB\\0000",
           "{48721b56-6795-11d2-b1a8-0080c72e74a2}", "{F1592c55-0a47-4c8d-8a3e-4b2c1d5a9e01}"}),
        keysUnder(reg, kClass));
    EXPECT_EQ("Office", image.outcome("spooler", "deleted.1"));
    EXPECT_EQ("", image.outcome("spooler", "deleted.2"));
}
