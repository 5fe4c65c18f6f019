#include "decode/IpAddress.h"

#include <arpa/inet.h>

#include <string>

namespace ravelin {

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
    const std::string terminated(text);
    IpAddress address;
    if (inet_pton(AF_INET, terminated.c_str(), address.bytes.data()) == 1) return address;
    if (inet_pton(AF_INET6, terminated.c_str(), address.bytes.data()) == 1) {
        address.ipv6 = true;
        return address;
    }
    return std::nullopt;
}

FixedText<46> IpAddress::text() const {
    if (ipv6) return Ipv6AddressText(bytes);
    FixedText<46> text;
    text.Append(AddressText(ipv4()).view());
    return text;
}

}  // namespace ravelin
