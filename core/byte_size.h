// Sizes as the player reads them.
#pragma once

#include <cstdint>
#include <string>

namespace core {

// A byte count in the largest unit it fills, 1024 to the next: "512 bytes",
// "1 byte", "1.5 KB", "200.0 MB", "3.2 GB" (KB, MB, GB, TB; one decimal
// above bytes). The decimal is rounded up, so a size that says how much
// more room is needed never says too little: 1025 bytes give "1.1 KB".
std::string formatByteSize(std::uint64_t bytes);

}  // namespace core
