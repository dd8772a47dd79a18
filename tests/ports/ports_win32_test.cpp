// brae-ports on Windows: the adapter read from the IDs Windows lists, the latency advice, and, under Wine,
// the listing of the test prefix's ports, where COM20 leads to a pseudo-terminal of brae-pty-peer (present),
// COM24 to a link that leads nowhere (an unplugged adapter) and COM23 to nothing at all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "port_info_win32.h"
#include "serial/CommOs.h"
#include "toolkit/win32/Text.h"

namespace {

TEST(PortsWin32Ids, ReadsTheAdapterFromWhatWindowsLists) {
  struct Case {
    const char* what;
    std::vector<std::string> hardwareIds;
    std::string instanceId;
    std::optional<std::string> usb;  // vendor:product|serial
  } const cases[] = {
      {"FTDI's own bus",
       {"FTDIBUS\\COMPORT&VID_0403&PID_6001"},
       "FTDIBUS\\VID_0403+PID_6001+A10K1234A\\0000",
       "0403:6001|A10K1234A"},
      {"a modem-class adapter with its serial",
       {"USB\\VID_2341&PID_0043&REV_0001", "USB\\VID_2341&PID_0043"},
       "USB\\VID_2341&PID_0043\\7573",
       "2341:0043|7573"},
      // Windows makes an instance ID up for an adapter without a serial number: that is no serial.
      {"an adapter without a serial",
       {"USB\\VID_067B&PID_2303&REV_0300"},
       "USB\\VID_067B&PID_2303\\5&2C3D1A3B&0&1",
       "067b:2303|"},
      {"a composite device's interface",
       {"USB\\VID_10C4&PID_EA60&MI_00"},
       "USB\\VID_10C4&PID_EA60&MI_00\\6&1F&0&0000",
       "10c4:ea60|"},
      {"lower-case IDs", {}, "usb\\vid_1a86&pid_7523\\abc", "1a86:7523|abc"},
      {"a built-in port", {"ACPI\\PNP0501", "*PNP0501"}, "ACPI\\PNP0501\\0", std::nullopt},
      {"a vendor without a product", {"USB\\VID_0403"}, "ROOT\\PORTS\\0000", std::nullopt},
      // Not four hex digits as a whole field: no vendor ID at all.
      {"five digits", {"USB\\VID_04031&PID_6001"}, "", std::nullopt},
      {"not hex", {"USB\\VID_04G3&PID_6001"}, "", std::nullopt},
      {"a longer word ending in VID_", {"XVID_0403&PID_6001"}, "", std::nullopt},
      {"cut short", {"USB\\VID_04"}, "USB\\VID_04", std::nullopt},
      {"nothing", {}, "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto usb = ports::win32::UsbFromIds(c.hardwareIds, c.instanceId);
    ASSERT_EQ(usb.has_value(), c.usb.has_value());
    if (usb) {
      EXPECT_EQ(usb->vendorId + ":" + usb->productId + "|" + usb->serial, *c.usb);
    }
  }
}

TEST(PortsWin32Ids, AdvisesOnASlowLatencyTimerOnly) {
  EXPECT_EQ(ports::win32::LatencyHint("USB Serial Port (COM3)", 1), "");
  EXPECT_EQ(ports::win32::LatencyHint("USB Serial Port (COM3)", 0), "");
  const std::string hint = ports::win32::LatencyHint("USB Serial Port (COM3)", 16);
  EXPECT_NE(hint.find("16 ms"), std::string::npos) << hint;
  EXPECT_NE(hint.find("Device Manager, USB Serial Port (COM3), Properties"), std::string::npos) << hint;
  EXPECT_NE(ports::win32::LatencyHint("", 16).find("Device Manager, the port,"), std::string::npos);
}

const ports::PortInfo* Find(const std::vector<ports::PortInfo>& list, const std::string& name) {
  for (const ports::PortInfo& p : list) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

TEST(PortsWin32List, TellsPresentAndMissingPortsApart) {
  if (tk::win32::Environment(L"BRAE_WINE_PORT_DIR").empty()) {
    GTEST_SKIP() << "needs the pty peer of the Wine test prefix";
  }
  const std::vector<ports::PortInfo> list = ports::win32::ListPorts();
  const ports::PortInfo* present = Find(list, "Com20");
  ASSERT_NE(present, nullptr) << ports::FormatText(list, "");
  EXPECT_EQ(present->status, ports::Status::Opens) << present->reason;
  EXPECT_FALSE(present->device.empty());
  // Windows-only fields are there (empty under Wine); Linux-only ones are not.
  ASSERT_TRUE(present->friendlyName.has_value());
  EXPECT_TRUE(present->group.empty());
  EXPECT_TRUE(present->byId.empty());

  struct Case {
    const char* name;
  } const missing[] = {{"Com23"}, {"Com24"}};
  for (const Case& c : missing) {
    SCOPED_TRACE(c.name);
    // A name Windows defines is listed as gone; one it does not define is not listed at all.
    if (const ports::PortInfo* p = Find(list, c.name)) {
      EXPECT_EQ(p->status, ports::Status::Gone) << p->reason;
      EXPECT_NE(p->reason.find("\\\\.\\COM"), std::string::npos) << p->reason;
    }
  }
  // The listing counts what opens, in the order of the numbers.
  for (size_t i = 1; i < list.size(); ++i) {
    EXPECT_LT(std::atoi(list[i - 1].name.c_str() + 3), std::atoi(list[i].name.c_str() + 3));
  }
  const std::string text = ports::FormatText(list, "");
  EXPECT_NE(text.find("opens:   yes"), std::string::npos) << text;
  EXPECT_EQ(text.find("group:"), std::string::npos) << text;
  const std::string json = ports::FormatJson(list, "");
  EXPECT_NE(json.find("{\"name\": \"Com20\", \"device\": "), std::string::npos) << json;
  EXPECT_NE(json.find("\"friendly_name\": null, \"by_id\": null"), std::string::npos) << json;
}

}  // namespace
