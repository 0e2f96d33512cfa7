#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace qelm::platform::testing {

/// 127.0.0.1, where the socket tests listen and connect.
inline constexpr uint32_t kLocalhost = ipv4(127, 0, 0, 1);

}  // namespace qelm::platform::testing
