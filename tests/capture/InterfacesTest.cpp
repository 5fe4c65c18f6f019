#include "capture/Interfaces.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/DatagramBuilder.h"

namespace ravelin {
namespace {

using test::Ipv4;

TEST(DefaultAddressTest, TheFirstRealInterfaceThatIsUpElseLoopback) {
    const std::vector<InterfaceAddress> interfaces = {
        {"lo", Ipv4("127.0.0.1"), Ipv4("255.0.0.0"), true, true},
        {"wlan0", Ipv4("10.9.9.9"), Ipv4("255.0.0.0"), false, false},  // down
        {"eth0", Ipv4("192.168.7.20"), Ipv4("255.255.255.0"), false, true},
        {"eth1", Ipv4("10.1.1.1"), Ipv4("255.0.0.0"), false, true},
    };
    EXPECT_EQ(ChooseDefaultAddress(interfaces), Ipv4("192.168.7.20"));
    // A loopback address on an interface not flagged as loopback is still no real address.
    const std::vector<InterfaceAddress> dummy = {
        {"dummy0", Ipv4("127.0.1.1"), Ipv4("255.0.0.0"), false, true}};
    EXPECT_EQ(ChooseDefaultAddress(dummy), Ipv4("127.0.0.1"));
    const std::vector<InterfaceAddress> loopbackAndDown(interfaces.begin(), interfaces.begin() + 2);
    EXPECT_EQ(ChooseDefaultAddress(loopbackAndDown), Ipv4("127.0.0.1"));
    EXPECT_EQ(ChooseDefaultAddress({}), Ipv4("127.0.0.1"));
}

TEST(DefaultAddressTest, ThisHostsDefaultIsOneOfItsInterfaceAddresses) {
    const auto interfaces = ListInterfaces();
    const std::uint32_t chosen = DefaultCaptureAddress();
    EXPECT_EQ(chosen, ChooseDefaultAddress(interfaces));
    const bool onAnInterface = std::any_of(
        interfaces.begin(), interfaces.end(),
        [&](const InterfaceAddress& item) { return item.up && item.address == chosen; });
    EXPECT_TRUE(onAnInterface || chosen == Ipv4("127.0.0.1"));
}

TEST(DeviceForAddressTest, FindsTheInterfaceThatCarriesAnAddress) {
    const std::vector<InterfaceAddress> interfaces = {
        {"lo", Ipv4("127.0.0.1"), Ipv4("255.0.0.0"), true, true},
        {"eth0", Ipv4("192.168.7.20"), Ipv4("255.255.255.0"), false, true},
    };
    EXPECT_EQ(DeviceForAddress(0, interfaces), "any");
    EXPECT_EQ(DeviceForAddress(Ipv4("192.168.7.20"), interfaces), "eth0");
    EXPECT_EQ(DeviceForAddress(Ipv4("127.0.1.1"), interfaces), "lo");
    // Another host of eth0's network is not this host's address.
    EXPECT_EQ(DeviceForAddress(Ipv4("192.168.7.21"), interfaces), std::nullopt);
}

TEST(AdaptersTest, LoopbackIsListedWithItsAddressAndAnyWithTheAnyAddress) {
    const auto adapters = ListAdapters();
    bool loopback = false;
    bool any = false;
    for (const Adapter& adapter : adapters) {
        if (adapter.label.rfind("lo", 0) == 0 && adapter.address == Ipv4("127.0.0.1")) {
            loopback = true;
        }
        if (adapter.label.rfind("any", 0) == 0) {
            any = true;
            EXPECT_EQ(adapter.address, 0U);
        }
        EXPECT_FALSE(adapter.label.empty());
    }
    EXPECT_TRUE(loopback);
    EXPECT_TRUE(any);
}

}  // namespace
}  // namespace ravelin
