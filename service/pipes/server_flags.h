// Kept out of the shared protocol: only the monitor's device registry reads these values.
#pragma once

#include <cstdint>

namespace tamsu {

// Registry state of a device server.
namespace server_flags {
constexpr uint32_t kCreated = 0;
constexpr uint32_t kSeen = 1;                 // in the latest list
constexpr uint32_t kNotYetSeen = 0x40000000;  // ORed in while a list is being built
constexpr uint32_t kStale = 0x80000000;       // missing from the latest list
inline bool IsStale(uint32_t flags) { return (flags & kStale) != 0; }
}  // namespace server_flags

}  // namespace tamsu
