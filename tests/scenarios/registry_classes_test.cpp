// The device-class keys and the Dot4 class instances.
#include "registry_scenario.h"

using namespace regscenario;
using testsupport::TestImage;
using V = std::vector<std::string>;

namespace {

const std::string kForeignEnum = "[HKEY_LOCAL_MACHINE\\enum\\DOT4\\VID_7A10&PID_0300&MI_00]\n";

std::string instance(const std::string& cls, const std::string& name, const std::string& id,
                     const std::string& inf) {
    std::string text = "[" + kClass + "\\" + cls + "\\" + name + "]\n";
    if (!id.empty()) text += "\"MatchingDeviceId\"=\"" + id + "\"\n";
    if (!inf.empty()) text += "\"InfPath\"=\"" + inf + "\"\n";
    return text;
}

std::string decision(const std::string& id, bool remove) {
    return "MatchingDeviceId : " + id + (remove ? " DELETE THE KEY" : " DO NOT DELETE THE KEY");
}

// The records of the class phases: everything after the monitor and port phases.
V classMessages(const TestImage& image) {
    V out;
    for (const std::string& m : phaseMessages(image))
        if (m.rfind(kClass, 0) == 0 || m.rfind("MatchingDeviceId", 0) == 0) out.push_back(m);
    return out;
}

const std::string kThreeAndTwo =
    "[" + kClass + "\\{48aa}{49bb}]\n[" + kClass + "\\{F159cc}]\n[" + kClass + "\\X{48dd}]\n[" +
    kClass + "\\{4d36e96b}]\n" +
    instance("DOT4", "0000", "DOT4\\\\VID_5E7A&PID_0C21&MI_00", "a.inf") +
    instance("DOT4", "0001", "usb\\\\vid_5e7a&pid_0c21", "b.inf") +
    instance("DOT4", "0002", "USB\\\\VID_1234&PID_0001", "MIRELC.INF") +
    instance("DOT4PRINT", "0000", "DOT4PRT\\\\VID_5E7A&PID_0C21", "mirelPrt.INF") +
    instance("DOT4PRINT", "0001", "DOT4PRT\\\\VID_7A10&PID_0300", "oem1.inf");

}  // namespace

TEST(RegistryClasses, StackRemovedDeletesPatternKeysAndTheDevicesInstances) {
    TestImage image;
    prepare(image, kThreeAndTwo);  // no enum keys: stackRemoved is true
    runLogged(image);

    EXPECT_EQ(
        (V{kClass + "\\X{48dd} DELETED", kClass + "\\{48aa}{49bb} DELETED",
           // Two patterns in one name: tried again after it is gone.
           kClass + "\\{48aa}{49bb} deletion FAILED", kClass + "\\{F159cc} DELETED",
           decision("DOT4\\VID_5E7A&PID_0C21&MI_00", true), kClass + "\\DOT4\\0000 DELETED",
           decision("usb\\vid_5e7a&pid_0c21", true), kClass + "\\DOT4\\0001 DELETED",
           // The setup file decides; the record still shows the identifier.
           decision("USB\\VID_1234&PID_0001", true), kClass + "\\DOT4\\0002 DELETED",
           kClass + "\\DOT4 DELETED", decision("DOT4PRT\\VID_5E7A&PID_0C21", true),
           kClass + "\\DOT4PRINT\\0000 DELETED", decision("DOT4PRT\\VID_7A10&PID_0300", false),
           // Missing: created as the working key, then found empty and deleted.
           kClass + "\\DOT4USB DELETED"}),
        classMessages(image));
    const std::string reg = image.registryText();
    EXPECT_EQ((V{"DOT4PRINT", "DOT4PRINT\\0001", "{4d36e96b}"}), keysUnder(reg, kClass));

    // Every run leaves the default key, created with its class.
    V lines = linesOfKey(reg, kDefaultKey);
    ASSERT_TRUE(hasKey(reg, kDefaultKey));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(";class=\"Varnholt\"", lines[0]);
}

TEST(RegistryClasses, StackInUseLeavesPatternKeysButStillCleansInstances) {
    TestImage image;
    prepare(image, kForeignEnum + "[" + kClass + "\\{48aa}]\n" +
                       instance("DOT4", "0000", "DOT4\\\\VID_5E7A&PID_0C21", "") + "[" + kClass +
                       "\\DOT4USB]\n");
    runLogged(image);
    // DOT4's instance has no InfPath: kept without a record. DOT4PRINT is created and deleted.
    EXPECT_EQ((V{kClass + "\\DOT4PRINT DELETED", kClass + "\\DOT4USB DELETED"}),
              classMessages(image));
    EXPECT_EQ((V{"DOT4", "DOT4\\0000", "{48aa}"}), keysUnder(image.registryText(), kClass));
}

TEST(RegistryClasses, KeysThatCannotBeOpenedAreSkippedWithoutTouchingOthers) {
    TestImage image;
    // The class key's own values would match: they must not stand in for the instance's.
    prepare(image,
            kForeignEnum + "[" + kClass + "\\DOT4]\n\"MatchingDeviceId\"=\"VID_5E7A&PID_0C21\"\n" +
                "\"InfPath\"=\"mirelc.inf\"\n" + instance("DOT4", "0000", "x", "y") +
                instance("DOT4PRINT", "0000", "VID_5E7A&PID_0C21", "mirelPrt.INF"),
            "[registry]\r\n" + kClass + "\\DOT4\\0000=no_access\r\n" + kClass +
                "\\DOT4USB=no_create\r\n");
    runLogged(image);
    EXPECT_EQ((V{decision("VID_5E7A&PID_0C21", true), kClass + "\\DOT4PRINT\\0000 DELETED",
                 kClass + "\\DOT4PRINT DELETED"}),
              classMessages(image));
    const std::string reg = image.registryText();
    EXPECT_EQ((V{"DOT4", "DOT4\\0000"}), keysUnder(reg, kClass));
    // With DOT4USB unavailable, the default key (empty) must not be taken for it.
    EXPECT_TRUE(hasKey(reg, kDefaultKey));
    EXPECT_TRUE(startingWith(phaseMessages(image), kDefaultKey).empty());
}

TEST(RegistryClasses, TheLogChangesNoDecision) {
    TestImage logged, silent;
    prepare(logged, kThreeAndTwo);
    prepare(silent, kThreeAndTwo);
    runLogged(logged);
    ASSERT_EQ(0, silent.run().status);
    EXPECT_EQ(keysUnder(logged.registryText(), kClass), keysUnder(silent.registryText(), kClass));
}

TEST(RegistryClasses, AClassKeyThatCannotBeOpenedIsNotReplacedByTheDefaultKey) {
    TestImage image;
    prepare(image, "[" + kDefaultKey + "\\{48zz}]\n",  // stackRemoved is true
            "[registry]\r\n" + kClass + "=no_create\r\n");
    runLogged(image);
    EXPECT_TRUE(hasKey(image.registryText(), kDefaultKey + "\\{48zz}"));
    EXPECT_TRUE(startingWith(phaseMessages(image), kDefaultKey).empty());
}
