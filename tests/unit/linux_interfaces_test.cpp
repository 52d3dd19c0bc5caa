#include "platform/linux/interfaces.hpp"

#include <gtest/gtest.h>

namespace orvex::test {
namespace {

TEST(LinuxInterfaces, PseudoDevicesAreNoAdapters) {
  const char* pseudo[] = {"any", "nflog", "nfqueue", "usbmon0", "usbmon12", "dbus-system", "dbus-session",
                          "bluetooth-monitor", "bluetooth0"};
  const char* real[] = {"eth0", "lo", "enp3s0", "wlan0", "veth1", "br-lan", "anything", "dbx0", "usb0"};
  for (const char* name : pseudo) EXPECT_TRUE(linux_net::is_pseudo_device(name)) << name;
  for (const char* name : real) EXPECT_FALSE(linux_net::is_pseudo_device(name)) << name;
}

TEST(LinuxInterfaces, UnknownInterfaceHasNoHardware) {
  linux_net::InterfaceHardware hw;
  EXPECT_FALSE(linux_net::interface_hardware("ox3-none", hw));
  EXPECT_FALSE(linux_net::interface_hardware(std::string(40, 'x'), hw));
  EXPECT_EQ(linux_net::interface_speed_mbps("../../etc"), 0u);
}

}  // namespace
}  // namespace orvex::test
