#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ravelin {

/// A network adapter as the adapter list shows it.
struct Adapter {
    /// The interface name, followed by the description where the system gives one (Linux
    /// interfaces mostly have none).
    std::string label;
    std::uint32_t address = 0;  ///< its first IPv4 address, network byte order
};

/// The adapters that capture can listen on, in the order the system lists them: each interface
/// with an IPv4 address, with its first one, and the pseudo-device that captures on all
/// interfaces (0.0.0.0). Empty when the list cannot be had.
std::vector<Adapter> ListAdapters();

}  // namespace ravelin
