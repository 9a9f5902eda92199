// SPDX-License-Identifier: BSD-2-Clause-Patent
/** @file
  Little-endian integers in the Vexa's messages and state image: read from a
  byte pointer the caller has bounds-checked, appended to a byte vector.
**/
#ifndef VEXA_LITTLE_ENDIAN_H_
#define VEXA_LITTLE_ENDIAN_H_

#include <cstdint>
#include <vector>

namespace vexa {

inline std::uint16_t Le16(const std::uint8_t *p) { return std::uint16_t(p[0] | p[1] << 8); }
inline std::uint32_t Le32(const std::uint8_t *p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
inline void PutLe16(std::vector<std::uint8_t> &out, std::uint16_t v) {
  out.push_back(std::uint8_t(v));
  out.push_back(std::uint8_t(v >> 8));
}
inline void PutLe32(std::vector<std::uint8_t> &out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(std::uint8_t(v >> shift));
  }
}
inline void PutLe64(std::vector<std::uint8_t> &out, std::int64_t value) {
  const auto v = static_cast<std::uint64_t>(value);
  for (int shift = 0; shift < 64; shift += 8) {
    out.push_back(std::uint8_t(v >> shift));
  }
}

}  // namespace vexa

#endif  // VEXA_LITTLE_ENDIAN_H_
