// Bounds-checked reading of received bytes. Every parse of bytes that came
// from the network goes through ByteReader: a read that does not fit what is
// left fails and leaves the reader where it was, so no caller can index past
// the end of a frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace lcmp {

class ByteReader {
public:
    constexpr explicit ByteReader(std::span<const uint8_t> bytes) noexcept : bytes_(bytes) {}

    [[nodiscard]] constexpr std::size_t remaining() const noexcept { return bytes_.size() - pos_; }
    [[nodiscard]] constexpr std::size_t position() const noexcept { return pos_; }
    [[nodiscard]] constexpr std::span<const uint8_t> rest() const noexcept { return bytes_.subspan(pos_); }

    constexpr std::optional<uint8_t> u8() noexcept {
        if (remaining() < 1) return std::nullopt;
        return bytes_[pos_++];
    }
    // 16-bit value, least significant byte first.
    constexpr std::optional<uint16_t> le16() noexcept {
        if (remaining() < 2) return std::nullopt;
        const auto v = static_cast<uint16_t>(bytes_[pos_] | (bytes_[pos_ + 1] << 8));
        pos_ += 2;
        return v;
    }
    // 16-bit value, most significant byte first.
    constexpr std::optional<uint16_t> be16() noexcept {
        if (remaining() < 2) return std::nullopt;
        const auto v = static_cast<uint16_t>((bytes_[pos_] << 8) | bytes_[pos_ + 1]);
        pos_ += 2;
        return v;
    }
    constexpr std::optional<std::span<const uint8_t>> take(std::size_t n) noexcept {
        if (remaining() < n) return std::nullopt;
        auto s = bytes_.subspan(pos_, n);
        pos_ += n;
        return s;
    }
    constexpr bool skip(std::size_t n) noexcept {
        if (remaining() < n) return false;
        pos_ += n;
        return true;
    }

private:
    std::span<const uint8_t> bytes_;
    std::size_t pos_ = 0;
};

}  // namespace lcmp
