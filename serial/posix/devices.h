// The machine's serial devices: the order in which "ComN" counts them, and the stable names udev gives them.
// The folder that stands for /dev is a parameter, so tests describe machines of their own.
#pragma once

#include <string>
#include <vector>

namespace commos {

// "/dev", or $BRAE_DEV_ROOT when that is set: for tests only, a folder of links standing for /dev (two
// adapters, one of them pulled) that the updater then counts its ports in, never touching a real one.
std::string DeviceRoot();

// ttyUSB*, ttyACM*, ttyS* under `devRoot`, in that order and by number within each kind: Com1 is the first.
std::vector<std::string> SerialDevices(const std::string& devRoot);

// The link in `devRoot`/serial/by-id that leads to the same device as `device` (the first by name), or
// empty. Unlike ttyUSB0, it names the adapter itself, and keeps doing so when other adapters come and go.
std::string ByIdLink(const std::string& device, const std::string& devRoot);

// Whether a by-id link to `device` names that one adapter. udev names a USB adapter by maker, model and
// serial number; two adapters without a serial number (many CH340s) share one name, whose link then leads to
// either, and to the other one once this one is pulled. True for a device sysfs (under `sysRoot`) does not
// describe as a USB adapter: its by-id name carries its own identity, or it has none.
bool ByIdNamesOneAdapter(const std::string& device, const std::string& devRoot, const std::string& sysRoot);

}  // namespace commos
