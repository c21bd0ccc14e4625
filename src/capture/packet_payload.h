#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ryvoobs {

// The bytes of one encoded packet and what keeps them alive: a buffer of its own, or a hold on
// someone else's buffer (OBS's reference-counted packet) that is let go when the payload goes.
// Holding instead of copying keeps the encoder's thread free of a copy per packet; the core never
// learns whose buffer it is. Move-only: exactly one payload releases each hold.
class PacketPayload {
  public:
    // Lets go of `holder`; called once, on whichever thread drops the payload.
    using Release = void (*)(void* holder) noexcept;

    PacketPayload() noexcept = default;
    // A buffer of its own (implicit, as a vector is the natural way to hand bytes over).
    PacketPayload(std::vector<std::uint8_t> bytes);
    // `bytes` stay valid until `release(holder)`, which the payload calls when it is dropped.
    static PacketPayload held(std::span<const std::uint8_t> bytes, Release release,
                              void* holder) noexcept;

    PacketPayload(PacketPayload&& other) noexcept;
    PacketPayload& operator=(PacketPayload&& other) noexcept;
    PacketPayload(const PacketPayload&) = delete;
    PacketPayload& operator=(const PacketPayload&) = delete;
    ~PacketPayload();

    std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

  private:
    void reset() noexcept;

    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    Release release_ = nullptr;
    void* holder_ = nullptr;
};

}  // namespace ryvoobs
