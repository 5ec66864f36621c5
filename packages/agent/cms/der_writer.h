// A small DER writer: just the element kinds the CMS encoder needs, with
// definite minimal lengths. Every function returns a complete element
// (tag, length, content).
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "common/bytes.h"
#include "common/error.h"

namespace quillon::der {

inline constexpr std::uint8_t kTagInteger = 0x02;
inline constexpr std::uint8_t kTagOctetString = 0x04;
inline constexpr std::uint8_t kTagObjectIdentifier = 0x06;
inline constexpr std::uint8_t kTagUtcTime = 0x17;
inline constexpr std::uint8_t kTagGeneralizedTime = 0x18;
inline constexpr std::uint8_t kTagSequence = 0x30;
inline constexpr std::uint8_t kTagSet = 0x31;
inline constexpr std::uint8_t kTagContext0 = 0xA0;  // context-specific, constructed, number 0

// Appends a definite length: one octet below 128, else 0x80|n and n
// big-endian octets without leading zeros.
void appendLength(Bytes& out, std::size_t length);

// tag, length, content.
Bytes element(std::uint8_t tag, ByteView content);
// tag, length, then the given parts one after another (already encoded).
Bytes constructed(std::uint8_t tag, std::initializer_list<ByteView> parts);

inline Bytes sequence(std::initializer_list<ByteView> parts) { return constructed(kTagSequence, parts); }
inline Bytes set(std::initializer_list<ByteView> parts) { return constructed(kTagSet, parts); }
inline Bytes octetString(ByteView content) { return element(kTagOctetString, content); }

// Shortest two's-complement INTEGER of sign and big-endian magnitude
// (leading zero octets in the magnitude are ignored; zero is 02 01 00).
Bytes integer(bool negative, ByteView magnitude);
Bytes integer(std::int64_t value);

// OBJECT IDENTIFIER from its arcs; at least two arcs, the first 0..2 and,
// below 2, the second 0..39.
Result<Bytes> objectIdentifier(std::span<const std::uint32_t> arcs);

// UTCTime (YYMMDDhhmmssZ) for the years 1950..2049, GeneralizedTime
// (YYYYMMDDhhmmssZ) otherwise. Years outside 0..9999 cannot be written.
Result<Bytes> time(std::chrono::sys_seconds t);

}  // namespace quillon::der
