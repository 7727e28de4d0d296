#include "check/flash_image.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "check/image_output.h"
#include "records/record_format.h"

namespace varnel {
namespace {

constexpr std::size_t kWordBits = 64;
// The flash is written this much at a time, the disk started on each.
constexpr std::size_t kFlashBatch = std::size_t{1} << 20;
constexpr std::size_t kWords = kFlashSize / kWordBits;

// The bits of the word that holds address `from`, from it up to `to`
// (exclusive, within that word or at its end); how many through `count`.
std::uint64_t bits_of_word(std::size_t from, std::size_t to,
                           std::size_t& count) {
  const std::size_t first = from % kWordBits;
  count = std::min(kWordBits - first, to - from);
  const std::uint64_t ones =
      count == kWordBits ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
  return ones << first;
}

// Marks the addresses from `from` up to `to` (exclusive) as written: the
// words between the first and the last whole, as every record of a block
// covers 128 of them.
void mark_written(FlashImage& flash, std::size_t from, std::size_t to) {
  std::size_t count = 0;
  if (from % kWordBits != 0) {
    flash.written[from / kWordBits] |= bits_of_word(from, to, count);
    from += count;
  }
  const std::size_t whole_to = to - to % kWordBits;
  if (from < whole_to) {
    std::fill(flash.written.get() + from / kWordBits,
              flash.written.get() + whole_to / kWordBits, ~std::uint64_t{0});
    from = whole_to;
  }
  if (from < to) {
    flash.written[from / kWordBits] |= bits_of_word(from, to, count);
  }
}

// Writes `data` at the addresses from `address` on, which do not wrap.
void write_at(FlashImage& flash, std::size_t address,
              std::span<const std::uint8_t> data) {
  if (data.empty()) {
    return;
  }
  std::memcpy(flash.bytes + address, data.data(), data.size());
  mark_written(flash, address, address + data.size());
  const auto first = static_cast<std::uint32_t>(address);
  const auto last = static_cast<std::uint32_t>(address + data.size() - 1);
  flash.low = flash.any ? std::min(flash.low, first) : first;
  flash.high = flash.any ? std::max(flash.high, last) : last;
  flash.any = true;
}

}  // namespace

bool make_flash_image(FlashImage& flash, std::uint8_t fill) {
  if (flash.bytes != nullptr && flash.written) {
    // Made before: only the bits of what was written need clearing.
    if (flash.any) {
      std::fill(flash.written.get() + flash.low / kWordBits,
                flash.written.get() + flash.high / kWordBits + 1,
                std::uint64_t{0});
    }
  } else {
    // Pages untouched until used: the bytes need no first value, and
    // calloc's are zero when first read.
    flash.held = allocate_for_copies(kFlashSize);
    flash.bytes = flash.held.bytes.data();
    flash.written.reset(static_cast<std::uint64_t*>(
        std::calloc(kWords, sizeof(std::uint64_t))));
    if (flash.bytes == nullptr || !flash.written) {
      flash = FlashImage{};
      return false;
    }
  }
  flash.fill = fill;
  flash.any = false;
  flash.low = flash.high = 0;
  flash.runs = 0;
  flash.next_address = 0;
  return true;
}

bool flash_piece(FlashImage& flash, const DataPiece& piece) {
  if (piece.starts_record &&
      (flash.runs == 0 || piece.address != flash.next_address)) {
    ++flash.runs;
  }
  // Past FFFFFF the addresses go on from 000000.
  const std::size_t before_wrap =
      std::min(piece.data.size(), kFlashSize - piece.address);
  write_at(flash, piece.address, piece.data.first(before_wrap));
  write_at(flash, 0, piece.data.subspan(before_wrap));
  flash.next_address =
      static_cast<std::uint32_t>(piece.address + piece.data.size()) &
      kField24Mask;
  return true;
}

std::uint64_t filled_bytes(const FlashImage& flash) {
  if (!flash.any) {
    return 0;
  }
  const std::size_t to = std::size_t{flash.high} + 1;
  std::uint64_t written = 0;
  for (std::size_t from = flash.low, count = 0; from < to; from += count) {
    written += static_cast<std::uint64_t>(std::popcount(
        flash.written[from / kWordBits] & bits_of_word(from, to, count)));
  }
  return to - flash.low - written;
}

void fill_gaps(FlashImage& flash) {
  if (!flash.any) {
    return;
  }
  const std::size_t to = std::size_t{flash.high} + 1;
  for (std::size_t from = flash.low, count = 0; from < to; from += count) {
    const std::uint64_t these = bits_of_word(from, to, count);
    const std::uint64_t gaps = ~flash.written[from / kWordBits] & these;
    if (gaps == these) {
      std::memset(flash.bytes + from, flash.fill, count);
      continue;
    }
    for (std::size_t bit = from % kWordBits;
         bit < kWordBits && gaps >> bit != 0; ++bit) {
      if ((gaps >> bit & 1) != 0) {
        flash.bytes[from - from % kWordBits + bit] = flash.fill;
      }
    }
  }
}

bool write_flash_image(FlashImage& flash, ImageBatch& image) {
  if (!flash.any) {
    return true;
  }
  fill_gaps(flash);
  const std::span<const std::uint8_t> all(
      flash.bytes + flash.low, std::size_t{flash.high} - flash.low + 1);
  for (std::size_t at = 0; at < all.size(); at += kFlashBatch) {
    if (!add_to_image(image, all.subspan(at).first(
                                 std::min(kFlashBatch, all.size() - at))) ||
        !write_image_batch(image)) {
      return false;
    }
  }
  return true;
}

}  // namespace varnel
