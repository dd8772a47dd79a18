// What each port name Com1..Com25 stands for on a Windows PC: the device object the name leads to, the entry
// of the Ports device class (friendly name, maker, driver, the USB adapter from its hardware IDs, an FTDI
// adapter's latency timer) and whether it opens now.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "port_info.h"

namespace ports::win32 {

// The USB adapter behind a port, read from the IDs Windows lists for its device: the vendor and product IDs
// (lower-case, as Linux shows them) from "VID_xxxx" and "PID_xxxx", the serial number from the instance ID
// ("USB\VID_2341&PID_0043\7573", or FTDI's "FTDIBUS\VID_0403+PID_6001+A10K1234A\0000"). None for a device
// without a vendor ID (a built-in port). An instance ID that Windows made up (it holds '&') is no serial.
std::optional<UsbInfo> UsbFromIds(const std::vector<std::string>& hardwareIds, const std::string& instanceId);

// The advice for an adapter whose latency timer holds received bytes longer than 1 ms; empty otherwise.
std::string LatencyHint(const std::string& friendlyName, int ms);

// The ports this PC has among Com1..Com25 (a name Windows defines, or one its device list or serial map
// holds), each described and opened briefly, as the updater would.
std::vector<PortInfo> ListPorts();

}  // namespace ports::win32
