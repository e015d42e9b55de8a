// The program-wide constant strings from which every key path and file path is assembled.
#pragma once

#include <string>

namespace dot4 {

extern const std::string kLocalMachine;       // HKEY_LOCAL_MACHINE
extern const std::string kEnum;               // enum
extern const std::string kHardwareId;         // VID_5E7A&PID_0C21
extern const std::string kDot4;               // DOT4
extern const std::string kDot4Prt;            // DOT4PRT
extern const std::string kDot4Print;          // DOT4PRINT
extern const std::string kDot4Usb;            // DOT4USB
extern const std::string kUsb;                // USB
extern const std::string kSystem;             // System
extern const std::string kCurrentControlSet;  // CurrentControlSet
extern const std::string kControl;            // Control
extern const std::string kDeviceClasses;      // DeviceClasses
extern const std::string kInterfacePattern;   // {28
extern const std::string kInterfaceClassKey;  // {28d78fad-5a12-11d1-ae5b-0000f803a8c2}
extern const std::string kPrint;              // Print
extern const std::string kMonitors;           // Monitors
extern const std::string kDot4Monitor;        // Dot4 Monitor
extern const std::string kPorts;              // Ports
extern const std::string kDot4PortPrefix;     // Dot4_
extern const std::string kServices;           // Services
extern const std::string kClass;              // Class
extern const std::string kClassPattern48;     // {48
extern const std::string kClassPattern49;     // {49
extern const std::string kClassPatternF159;   // {f159
extern const std::string kHash;               // #
extern const std::string kDeviceParameters;   // Device Parameters
extern const std::string kPrinters;           // Printers
extern const std::string kBaseName;           // Base Name
extern const std::string kMatchingDeviceId;   // MatchingDeviceId
extern const std::string kPortNumber;         // Port Number
extern const std::string kPort;               // Port
extern const std::string kInfPath;            // InfPath
extern const std::string kZeroFill2;          // 00
extern const std::string kZeroFill1;          // 0
extern const std::string kSeparator;          // backslash
extern const std::string kDriverPrefix;       // mirel
extern const std::string kSystemDir;          // SYSTEM
extern const std::string kSystem32Dir;        // SYSTEM32
extern const std::string kDriversDir;         // DRIVERS
extern const std::string kInfDir;             // INF
extern const std::string kOtherDir;           // OTHER
extern const std::string kMirelcInf;          // mirelc.inf
extern const std::string kMirelPrtInf;        // mirelPrt.INF
extern const std::string kUsbInf;             // QuillmarkMIRELUSB.INF
extern const std::string kMirelcPnf;          // mirelc.pnf
extern const std::string kMirelPrtPnf;        // mirelPrt.pnf
extern const std::string kDot4MonDll;         // Dot4Mon.dll
extern const std::string kDot4RtlDll;         // Dot4Rtl.dll
extern const std::string kDot4Sys;            // Dot4.sys
extern const std::string kDot4PrtSys;         // Dot4Prt.sys
extern const std::string kDot4UsbSys;         // Dot4Usb.sys

extern const char* const kPromptText;
extern const char* const kPromptCaption;
extern const char* const kLogFileName;  // uninstall.txt
extern const char* const kLogSwitch;    // -l

// True when `text` contains `pattern` anywhere, letters compared without case.
bool containsNoCase(const std::string& text, const std::string& pattern);

}  // namespace dot4
