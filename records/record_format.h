// Layout constants of a flash record: a 9-byte header followed by its data
// block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnel {

// The unit in which images are read and the data length of every record varnel
// writes.
inline constexpr std::size_t kBlockSize = 8192;
// Low bits that must all be clear in the size of an image.
inline constexpr std::uint64_t kBlockMask = kBlockSize - 1;

inline constexpr std::size_t kHeaderSize = 9;
inline constexpr std::size_t kRecordSize = kHeaderSize + kBlockSize;

inline constexpr std::uint8_t kRecordType = 0x0B;

// Addresses and lengths are 24-bit fields; higher bits are dropped.
inline constexpr std::uint32_t kField24Mask = 0xFFFFFF;

// Byte positions inside the header.
inline constexpr std::size_t kTypeAt = 0;
inline constexpr std::size_t kAddressAt = 1;       // 3 bytes, big-endian
inline constexpr std::size_t kDataChecksumAt = 4;  // 1 byte
inline constexpr std::size_t kLengthAt = 5;        // 3 bytes, big-endian
inline constexpr std::size_t kHeaderChecksumAt = 8;

}  // namespace varnel
