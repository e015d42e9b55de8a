// The device enumeration tree and the stackRemoved decision.
#include "registry_scenario.h"

using namespace regscenario;
using testsupport::TestImage;
using V = std::vector<std::string>;

namespace {

const std::string kEnumKey = kHklm + "\\enum";

// The records that every run without interfaces, printers or class keys ends with.
V classTail() {
    return {kClass + "\\DOT4 DELETED", kClass + "\\DOT4PRINT DELETED",
            kClass + "\\DOT4USB DELETED"};
}

V join(V a, const V& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(RegistryEnumTree, AllMatchingEnumeratorRemovesTheStackAndTheLaterEnumerators) {
    TestImage image;
    prepare(image,
            "[HKEY_LOCAL_MACHINE\\enum\\DOT4\\VID_5E7A&PID_0C21&MI_00]\n"
            "[HKEY_LOCAL_MACHINE\\enum\\DOT4\\vid_5e7a&pid_0c21&mi_01]\n"
            "[HKEY_LOCAL_MACHINE\\enum\\DOT4PRT\\VID_5E7A&PID_0C21&MI_00&PRINT]\n"
            "[HKEY_LOCAL_MACHINE\\enum\\DOT4PRT\\VID_7A10&PID_0300&MI_00&PRINT]\n"
            "[HKEY_LOCAL_MACHINE\\enum\\USB\\VID_5E7A&PID_0C21]\n"
            "[HKEY_LOCAL_MACHINE\\enum\\USB\\VID_1111&PID_2222]\n"
            "[" +
                kMonitors + "\\Dot4 Monitor]\n");
    runLogged(image);

    EXPECT_EQ(
        join({kEnumKey + "\\DOT4\\VID_5E7A&PID_0C21&MI_00 DELETED",
              kEnumKey + "\\DOT4\\vid_5e7a&pid_0c21&mi_01 DELETED", kEnumKey + "\\DOT4 DELETED",
              kEnumKey + "\\DOT4PRT\\VID_5E7A&PID_0C21&MI_00&PRINT DELETED",
              // stackRemoved is set: the enumerator goes with the foreign device in it,
              // and a missing one is still tried.
              kEnumKey + "\\DOT4PRT DELETED", kEnumKey + "\\DOT4USB deletion FAILED",
              kEnumKey + "\\USB\\VID_5E7A&PID_0C21 DELETED",
              kDeviceClasses + "\\" + kIface + " deletion FAILED",
              kMonitors + "\\Dot4 Monitor DELETED"},
             classTail()),
        phaseMessages(image));
    const std::string reg = image.registryText();
    EXPECT_EQ((V{"USB", "USB\\VID_1111&PID_2222"}), keysUnder(reg, kEnumKey));
    EXPECT_EQ((V{}), keysUnder(reg, kMonitors));
}

TEST(RegistryEnumTree, ForeignDeviceKeepsItsEnumeratorAndTheStack) {
    TestImage image;
    prepare(image,
            "[HKEY_LOCAL_MACHINE\\enum\\DOT4\\VID_5E7A&PID_0C21&MI_00]\n"
            "[HKEY_LOCAL_MACHINE\\enum\\DOT4\\VID_7A10&PID_0300&MI_00]\n"
            "[HKEY_LOCAL_MACHINE\\enum\\DOT4PRT]\n"
            "[" +
                kMonitors + "\\Dot4 Monitor]\n");
    runLogged(image);

    // DOT4PRT is empty and present: it goes. DOT4USB is missing: no record. The device key
    // under USB is missing and is tried without a test.
    EXPECT_EQ(
        join({kEnumKey + "\\DOT4\\VID_5E7A&PID_0C21&MI_00 DELETED", kEnumKey + "\\DOT4PRT DELETED",
              kEnumKey + "\\USB\\VID_5E7A&PID_0C21 deletion FAILED",
              kDeviceClasses + "\\" + kIface + " deletion FAILED"},
             classTail()),
        phaseMessages(image));
    const std::string reg = image.registryText();
    // enum\USB did not exist: pointing the working key at it created it.
    EXPECT_EQ((V{"DOT4", "DOT4\\VID_7A10&PID_0300&MI_00", "USB"}), keysUnder(reg, kEnumKey));
    EXPECT_EQ((V{"Dot4 Monitor"}), keysUnder(reg, kMonitors));
}

TEST(RegistryEnumTree, NoDeviceUnderAnyEnumeratorMeansTheStackIsUnused) {
    for (bool present : {false, true}) {
        TestImage image;
        prepare(image, std::string(present ? "[HKEY_LOCAL_MACHINE\\enum\\DOT4]\n"
                                             "[HKEY_LOCAL_MACHINE\\enum\\DOT4PRT]\n"
                                             "[HKEY_LOCAL_MACHINE\\enum\\DOT4USB]\n"
                                           : "") +
                           "[" + kMonitors + "\\Dot4 Monitor]\n");
        runLogged(image);
        V expected;
        if (present)
            expected = {kEnumKey + "\\DOT4 DELETED", kEnumKey + "\\DOT4PRT DELETED",
                        kEnumKey + "\\DOT4USB DELETED"};
        expected = join(expected, {kEnumKey + "\\USB\\VID_5E7A&PID_0C21 deletion FAILED",
                                   kDeviceClasses + "\\" + kIface + " deletion FAILED",
                                   kMonitors + "\\Dot4 Monitor DELETED"});
        EXPECT_EQ(join(expected, classTail()), phaseMessages(image)) << "present " << present;
        EXPECT_EQ((V{"USB"}), keysUnder(image.registryText(), kEnumKey));
    }
}

TEST(RegistryEnumTree, FailedDeviceDeletionIsLoggedAndDoesNotCount) {
    TestImage image;
    prepare(image,
            "[HKEY_LOCAL_MACHINE\\enum\\DOT4\\VID_5E7A&PID_0C21&MI_00]\n"
            "[HKEY_LOCAL_MACHINE\\enum\\DOT4\\VID_5E7A&PID_0C21&MI_00\\Control]\n"
            "[HKEY_LOCAL_MACHINE\\enum\\DOT4\\VID_5E7A&PID_0C21&MI_00\\Device Parameters]\n"
            "[" +
                kMonitors + "\\Dot4 Monitor]\n",
            "[registry]\r\nHKEY_LOCAL_MACHINE\\enum\\DOT4\\VID_5E7A&PID_0C21&MI_00\\Control="
            "no_delete\r\n");
    runLogged(image);
    V messages = phaseMessages(image);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(kEnumKey + "\\DOT4\\VID_5E7A&PID_0C21&MI_00 deletion FAILED", messages[0]);
    // The sub-key after the one that could not be deleted was not tried.
    EXPECT_EQ((V{"DOT4", "DOT4\\VID_5E7A&PID_0C21&MI_00", "DOT4\\VID_5E7A&PID_0C21&MI_00\\Control",
                 "DOT4\\VID_5E7A&PID_0C21&MI_00\\Device Parameters", "USB"}),
              keysUnder(image.registryText(), kEnumKey));
    // Two of three enumerators empty is not enough: the monitor stays.
    EXPECT_EQ((V{"Dot4 Monitor"}), keysUnder(image.registryText(), kMonitors));
    EXPECT_TRUE(startingWith(messages, kMonitors).empty());
}

TEST(RegistryEnumTree, RecordsAreReleaseInfoFromTheCleanUpAndTheLogChangesNothing) {
    const std::string registry =
        "[HKEY_LOCAL_MACHINE\\enum\\DOT4\\VID_5E7A&PID_0C21&MI_00]\n"
        "[HKEY_LOCAL_MACHINE\\enum\\DOT4PRT\\VID_7A10&PID_0300&MI_00&PRINT]\n";
    TestImage logged, silent;
    prepare(logged, registry);
    prepare(silent, registry);
    runLogged(logged);
    ASSERT_EQ(0, silent.run().status);
    EXPECT_FALSE(silent.exists("C:\\uninstall.txt"));

    // Only the log's own pending deletion differs, under Session Manager.
    for (const std::string& root : {kHklm + "\\enum", kDeviceClasses, kCcs + "\\Control\\Print",
                                    kCcs + "\\Services", kHklm + "\\Software"})
        EXPECT_EQ(keysUnder(logged.registryText(), root), keysUnder(silent.registryText(), root))
            << root;

    bool inside = false;
    size_t seen = 0;
    for (const testsupport::LogRecord& r : logged.log()) {
        if (r.message == "Begin removeRegistryEntries()") inside = true;
        if (!inside) continue;
        ++seen;
        EXPECT_EQ("general", r.category) << r.message;
        EXPECT_EQ("info", r.type) << r.message;
        EXPECT_EQ("release", r.level) << r.message;
        EXPECT_EQ(0u, r.source.rfind("RegistryCleanup", 0)) << r.source;
        EXPECT_FALSE(r.hasData);
        if (r.message == "Finished removeRegistryEntries()") break;
    }
    EXPECT_GE(seen, 4u);
}
