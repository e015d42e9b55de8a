// removeRegistryEntries: the nine phases that take the Dot4 stack out of the registry.
#include <cstdint>
#include <initializer_list>
#include <string>

#include "log/BLogFile.h"
#include "uninstaller/Dot4Uninstaller.h"
#include "uninstaller/Strings.h"
#include "utilities/BRegistry.h"
#include "utilities/StringList.h"

using namespace dot4;

namespace {

const char* const kDeletedText = " DELETED";
const char* const kDeletionFailedText = " deletion FAILED";
const char* const kPrinterDeletedText = " DELETED and Saved for deletion from the printers folder.";
const char* const kKeyNotFoundText = " KEY NOT FOUND";

std::string localMachinePath(std::initializer_list<const std::string*> components) {
    std::string path = kLocalMachine;
    for (const std::string* c : components) path += kSeparator + *c;
    return path;
}

// One run of the clean-up: the registry object and the three working lists live here.
class RegistryCleanup {
  public:
    explicit RegistryCleanup(Dot4Uninstaller& owner)
        : owner_(owner), subkeyList_(64), nameList_(64), portNumbers_(64) {}

    void run() {
        LOG_INFO("Begin removeRegistryEntries()");
        removeEnumerationTree();
        discoverPorts();
        removeInterfaceClassKey();
        removeMonitor();
        removePorts();
        removePrinters();
        removeClassKeys();
        removeClassInstances();
        LOG_INFO("Finished removeRegistryEntries()");
    }

  private:
    std::string child(const std::string& name) const {
        return registry_.getWorkingKey() + kSeparator + name;
    }

    // Deletes working key + "\" + name with its sub-tree and logs the outcome.
    bool deleteAndLog(const std::string& name) {
        const bool deleted = registry_.deleteKeyTree(child(name));
        LOG_INFO(child(name) + (deleted ? kDeletedText : kDeletionFailedText));
        return deleted;
    }

    // Phase 1.
    void removeEnumerationTree() {
        // Where the key is missing and cannot be made, as on every NT machine, the default key
        // stands in and the enumerators are found missing. One that is there but cannot be
        // opened may hold other devices: it proves nothing.
        const std::string enumPath = localMachinePath({&kEnum});
        if (registry_.setWorkingKey(enumPath) || !registry_.keyExists(enumPath))
            removeEnumerators();

        registry_.setWorkingKey(localMachinePath({&kEnum, &kUsb}));
        deleteAndLog(kHardwareId);
    }

    void removeEnumerators() {
        nameList_.setCount(0);
        nameList_.append(kDot4);
        nameList_.append(kDot4Prt);
        nameList_.append(kDot4Usb);
        uint32_t emptyEnumeratorCount = 0;

        for (uint32_t n = 0; n < nameList_.count(); ++n) {
            const std::string enumerator = nameList_.at(n);
            uint32_t deletedCount = 0;
            // A key that is there but cannot be listed whole may hold other devices'
            // instances: it tells nothing about the stack.
            const bool listed = registry_.enumSubkeys(child(enumerator), subkeyList_);
            const bool missing = !listed && !registry_.keyExists(child(enumerator));
            const bool known = listed || missing;
            for (uint32_t s = 0; s < subkeyList_.count(); ++s) {
                const std::string& instance = subkeyList_.at(s);
                if (!containsNoCase(instance, kHardwareId)) continue;
                if (deleteAndLog(enumerator + kSeparator + instance)) {
                    ++deletedCount;
                    if (known && deletedCount == subkeyList_.count() && emptyNow(child(enumerator)))
                        owner_.stackRemoved = true;
                }
            }
            const bool empty =
                known && subkeyList_.count() == 0 && (missing || emptyNow(child(enumerator)));
            if (empty) ++emptyEnumeratorCount;
            if (owner_.stackRemoved || (empty && !missing)) deleteAndLog(enumerator);
        }
        if (emptyEnumeratorCount == nameList_.count()) owner_.stackRemoved = true;
    }

    // Whether a listing taken now is whole and empty. One taken before may have ended early,
    // as it does while another program changes the key, and so hide other devices' keys.
    bool emptyNow(const std::string& path) {
        StringList left;
        return registry_.enumSubkeys(path, left) && left.count() == 0;
    }

    std::string deviceClassesPath() const {
        return localMachinePath({&kSystem, &kCurrentControlSet, &kControl, &kDeviceClasses});
    }

    // Phase 2: deletes nothing, fills portNumbers.
    void discoverPorts() {
        registry_.setWorkingKey(deviceClassesPath());
        subkeyList_.setCount(0);
        portNumbers_.setCount(0);
        // Paths are built on this copy, so a failed return to it cannot move the search.
        const std::string remembered = registry_.getWorkingKey();
        registry_.enumSubkeys(remembered, subkeyList_);

        const std::string twoHashes = kHash + kHash;
        for (uint32_t c = 0; c < subkeyList_.count(); ++c) {
            const std::string classKey = subkeyList_.at(c);
            if (!containsNoCase(classKey, kInterfacePattern)) continue;
            StringList interfaceList(64);
            registry_.enumSubkeys(remembered + kSeparator + classKey, interfaceList);
            for (uint32_t i = 0; i < interfaceList.count(); ++i) {
                const std::string& instance = interfaceList.at(i);
                if (!containsNoCase(instance, twoHashes)) continue;
                if (!containsNoCase(instance, kInterfacePattern)) continue;
                const std::string parameters = remembered + kSeparator + classKey + kSeparator +
                                               instance + kSeparator + kHash + kSeparator +
                                               kDeviceParameters;
                if (!registry_.keyExists(parameters)) continue;
                LOG_INFO("Key (" + parameters + ") FOUND");

                // The reads must come from this instance's own key: after a failed switch
                // the held handle still points at the key opened before.
                if (registry_.setWorkingKey(parameters)) readPortNumber();
                registry_.setWorkingKey(remembered);
            }
        }
    }

    void readPortNumber() {
        std::string baseName;
        if (!registry_.queryStringValue(kBaseName, baseName)) return;
        DWORD number = 0;
        if (!registry_.queryDwordValue(kPortNumber, number)) return;
        const std::string text = std::to_string(static_cast<int32_t>(number));
        portNumbers_.append(text);
        LOG_INFO("Port Number found " + text);
    }

    // Phase 3.
    void removeInterfaceClassKey() {
        registry_.setWorkingKey(deviceClassesPath());
        deleteAndLog(kInterfaceClassKey);
    }

    std::string printPath(const std::string& leaf) const {
        return localMachinePath({&kSystem, &kCurrentControlSet, &kControl, &kPrint, &leaf});
    }

    // Phase 4.
    void removeMonitor() {
        registry_.setWorkingKey(printPath(kMonitors));
        if (owner_.stackRemoved) deleteAndLog(kDot4Monitor);
    }

    // Phase 5.
    void removePorts() {
        registry_.setWorkingKey(printPath(kPorts));
        for (uint32_t i = 0; i < portNumbers_.count(); ++i) {
            const std::string port = owner_.dot4PortName(portNumbers_.at(i));
            if (registry_.keyExists(child(port)))
                deleteAndLog(port);
            else
                LOG_INFO(child(port) + kKeyNotFoundText);
        }
    }

    // Phase 6.
    void removePrinters() {
        const bool opened = registry_.setWorkingKey(printPath(kPrinters));
        subkeyList_.setCount(0);
        owner_.savedPrinters.setCount(0);
        // Listing the default key instead would take its sub-keys for printers.
        if (!opened) return;
        registry_.enumSubkeys(registry_.getWorkingKey(), subkeyList_);
        const std::string printers = registry_.getWorkingKey();

        for (uint32_t n = 0; n < subkeyList_.count(); ++n) {
            const std::string& printer = subkeyList_.at(n);
            // A printer whose key cannot be opened is skipped: the port read and the
            // deletion would otherwise land on the previously opened key.
            if (!registry_.setWorkingKey(printers + kSeparator + printer)) continue;
            std::string port;
            if (!registry_.queryStringValue(kPort, port)) continue;
            for (uint32_t p = 0; p < portNumbers_.count(); ++p) {
                const std::string expected = owner_.dot4PortName(portNumbers_.at(p));
                LOG_INFO(registry_.getWorkingKey() + " contains Port (" + port +
                         ") which should be eqaul to (" + expected + ") if it is to be deleted.");
                if (!containsNoCase(port, expected)) continue;
                owner_.savedPrinters.append(printer);
                const bool deleted = registry_.deleteKeyTree(registry_.getWorkingKey());
                LOG_INFO(registry_.getWorkingKey() +
                         (deleted ? kPrinterDeletedText : kDeletionFailedText));
                break;
            }
        }
    }

    std::string classPath() const {
        return localMachinePath({&kSystem, &kCurrentControlSet, &kServices, &kClass});
    }

    // Phase 7.
    void removeClassKeys() {
        if (!owner_.stackRemoved) return;
        // Without the class key itself, the default key would be listed and pruned.
        if (!registry_.setWorkingKey(classPath())) return;
        registry_.enumSubkeys(registry_.getWorkingKey(), subkeyList_);
        for (uint32_t i = 0; i < subkeyList_.count(); ++i) {
            const std::string name = subkeyList_.at(i);
            // Three independent tests: a name holding two patterns is tried twice.
            if (containsNoCase(name, kClassPattern48)) deleteAndLog(name);
            if (containsNoCase(name, kClassPattern49)) deleteAndLog(name);
            if (containsNoCase(name, kClassPatternF159)) deleteAndLog(name);
        }
    }

    // Phases 8 and 9.
    void removeClassInstances() {
        nameList_.setCount(0);
        nameList_.append(kDot4);
        nameList_.append(kDot4Print);
        nameList_.append(kDot4Usb);
        const std::string prefix = classPath() + kSeparator;

        for (uint32_t c = 0; c < nameList_.count(); ++c) {
            bool allDeleted = false;
            if (!registry_.setWorkingKey(prefix + nameList_.at(c))) continue;
            const bool listed = registry_.enumSubkeys(registry_.getWorkingKey(), subkeyList_);
            uint32_t deletedCount = 0;
            bool lostClassKey = false;

            for (uint32_t i = 0; i < subkeyList_.count(); ++i) {
                const std::string instance = subkeyList_.at(i);
                const std::string classKey = registry_.getWorkingKey();
                const bool belongs = instanceBelongsToDevice(classKey + kSeparator + instance);
                if (!registry_.setWorkingKey(classKey)) {
                    // Back on the default key: nothing more of this class can be touched
                    // safely.
                    lostClassKey = true;
                    break;
                }
                if (!belongs) continue;
                if (deleteAndLog(instance)) {
                    ++deletedCount;
                    if (deletedCount == subkeyList_.count()) allDeleted = true;
                }
            }
            // A class key not listed whole may hold other devices' instances.
            if (lostClassKey || !listed) continue;

            if ((allDeleted || subkeyList_.count() == 0) && emptyNow(registry_.getWorkingKey())) {
                const bool deleted = registry_.deleteKeyTree(registry_.getWorkingKey());
                LOG_INFO(registry_.getWorkingKey() +
                         (deleted ? kDeletedText : kDeletionFailedText));
            }
        }
    }

    // Points the working key at the instance and decides from its two values. An instance
    // that cannot be opened or read is kept without a record.
    bool instanceBelongsToDevice(const std::string& instancePath) {
        if (!registry_.setWorkingKey(instancePath)) return false;
        std::string matchingId;
        if (!registry_.queryStringValue(kMatchingDeviceId, matchingId)) return false;
        std::string infPath;
        if (!registry_.queryStringValue(kInfPath, infPath)) return false;
        const bool belongs =
            containsNoCase(matchingId, kHardwareId) || containsNoCase(infPath, kDriverPrefix);
        LOG_INFO(kMatchingDeviceId + " : " + matchingId +
                 (belongs ? " DELETE THE KEY" : " DO NOT DELETE THE KEY"));
        return belongs;
    }

    Dot4Uninstaller& owner_;
    BRegistry registry_;
    StringList subkeyList_;
    StringList nameList_;
    StringList portNumbers_;
};

}  // namespace

bool Dot4Uninstaller::removeRegistryEntries() {
    RegistryCleanup cleanup(*this);
    cleanup.run();
    return true;
}
