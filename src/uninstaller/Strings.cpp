#include "uninstaller/Strings.h"

#include <cctype>

namespace dot4 {

// In their order of definition.
const std::string kLocalMachine = "HKEY_LOCAL_MACHINE";
const std::string kEnum = "enum";
const std::string kHardwareId = "VID_5E7A&PID_0C21";
const std::string kDot4 = "DOT4";
const std::string kDot4Prt = "DOT4PRT";
const std::string kDot4Print = "DOT4PRINT";
const std::string kDot4Usb = "DOT4USB";
const std::string kUsb = "USB";
const std::string kSystem = "System";
const std::string kCurrentControlSet = "CurrentControlSet";
const std::string kControl = "Control";
const std::string kDeviceClasses = "DeviceClasses";
const std::string kInterfacePattern = "{28";
const std::string kInterfaceClassKey = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
const std::string kPrint = "Print";
const std::string kMonitors = "Monitors";
const std::string kDot4Monitor = "Dot4 Monitor";
const std::string kPorts = "Ports";
const std::string kDot4PortPrefix = "Dot4_";
const std::string kServices = "Services";
const std::string kClass = "Class";
const std::string kClassPattern48 = "{48";
const std::string kClassPattern49 = "{49";
const std::string kClassPatternF159 = "{f159";
const std::string kHash = "#";
const std::string kDeviceParameters = "Device Parameters";
const std::string kPrinters = "Printers";
const std::string kBaseName = "Base Name";
const std::string kMatchingDeviceId = "MatchingDeviceId";
const std::string kPortNumber = "Port Number";
const std::string kPort = "Port";
const std::string kInfPath = "InfPath";
const std::string kZeroFill2 = "00";
const std::string kZeroFill1 = "0";
const std::string kSeparator = "\\";
const std::string kDriverPrefix = "mirel";
const std::string kSystemDir = "SYSTEM";
const std::string kSystem32Dir = "SYSTEM32";
const std::string kDriversDir = "DRIVERS";
const std::string kInfDir = "INF";
const std::string kOtherDir = "OTHER";
const std::string kMirelcInf = "mirelc.inf";
const std::string kMirelPrtInf = "mirelPrt.INF";
const std::string kUsbInf = "QuillmarkMIRELUSB.INF";
const std::string kMirelcPnf = "mirelc.pnf";
const std::string kMirelPrtPnf = "mirelPrt.pnf";
const std::string kDot4MonDll = "Dot4Mon.dll";
const std::string kDot4RtlDll = "Dot4Rtl.dll";
const std::string kDot4Sys = "Dot4.sys";
const std::string kDot4PrtSys = "Dot4Prt.sys";
const std::string kDot4UsbSys = "Dot4Usb.sys";

const char* const kPromptText = "You must reboot for the uninstallation to complete.  Reboot Now?";
const char* const kPromptCaption = "REBOOT REQUIRED";
const char* const kLogFileName = "uninstall.txt";
const char* const kLogSwitch = "-l";

bool containsNoCase(const std::string& text, const std::string& pattern) {
    if (pattern.empty()) return true;
    if (pattern.size() > text.size()) return false;
    for (size_t i = 0; i + pattern.size() <= text.size(); ++i) {
        size_t j = 0;
        while (j < pattern.size() && std::toupper(static_cast<unsigned char>(text[i + j])) ==
                                         std::toupper(static_cast<unsigned char>(pattern[j])))
            ++j;
        if (j == pattern.size()) return true;
    }
    return false;
}

}  // namespace dot4
