#pragma once

#include <cstdint>

// Fixed-width integer decoders for the two byte orders of a trace. Each
// assembles the value from single bytes, so the host's own byte order does
// not matter. The l_ family takes byte k as the k-th least significant
// byte, the B_ family takes byte 0 as the most significant.
namespace kiv_decode {

using byte = unsigned char;

template <typename U, int N>
constexpr U little(const byte* p) {
  U v = 0;
  for (int k = N - 1; k >= 0; --k) v = static_cast<U>((v << 8) | p[k]);
  return v;
}

template <typename U, int N>
constexpr U big(const byte* p) {
  U v = 0;
  for (int k = 0; k < N; ++k) v = static_cast<U>((v << 8) | p[k]);
  return v;
}

inline std::uint16_t l_read_bu2(const byte* p) { return little<std::uint16_t, 2>(p); }
inline std::uint32_t l_read_bu4(const byte* p) { return little<std::uint32_t, 4>(p); }
inline std::uint64_t l_read_bu8(const byte* p) { return little<std::uint64_t, 8>(p); }
inline std::int16_t l_read_bs2(const byte* p) { return static_cast<std::int16_t>(l_read_bu2(p)); }
inline std::int32_t l_read_bs4(const byte* p) { return static_cast<std::int32_t>(l_read_bu4(p)); }
inline std::int64_t l_read_bs8(const byte* p) { return static_cast<std::int64_t>(l_read_bu8(p)); }

inline std::uint16_t B_read_bu2(const byte* p) { return big<std::uint16_t, 2>(p); }
inline std::uint32_t B_read_bu4(const byte* p) { return big<std::uint32_t, 4>(p); }
inline std::uint64_t B_read_bu8(const byte* p) { return big<std::uint64_t, 8>(p); }
inline std::int16_t B_read_bs2(const byte* p) { return static_cast<std::int16_t>(B_read_bu2(p)); }
inline std::int32_t B_read_bs4(const byte* p) { return static_cast<std::int32_t>(B_read_bu4(p)); }
inline std::int64_t B_read_bs8(const byte* p) { return static_cast<std::int64_t>(B_read_bu8(p)); }

// One byte-order family, chosen once per header.
struct decoders {
  std::uint16_t (*bu2)(const byte*);
  std::uint32_t (*bu4)(const byte*);
  std::uint64_t (*bu8)(const byte*);
  std::int16_t (*bs2)(const byte*);
  std::int32_t (*bs4)(const byte*);
  std::int64_t (*bs8)(const byte*);
};

inline constexpr decoders little_endian{l_read_bu2, l_read_bu4, l_read_bu8,
                                        l_read_bs2, l_read_bs4, l_read_bs8};
inline constexpr decoders big_endian{B_read_bu2, B_read_bu4, B_read_bu8,
                                     B_read_bs2, B_read_bs4, B_read_bs8};

}  // namespace kiv_decode
