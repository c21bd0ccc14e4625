#include "capture/packet_payload.h"

#include <utility>

namespace ryvoobs {
namespace {

void delete_owned_bytes(void* holder) noexcept {
    delete static_cast<std::vector<std::uint8_t>*>(holder);
}

}  // namespace

PacketPayload::PacketPayload(std::vector<std::uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    auto* owned = new std::vector<std::uint8_t>(std::move(bytes));
    data_ = owned->data();
    size_ = owned->size();
    release_ = delete_owned_bytes;
    holder_ = owned;
}

PacketPayload PacketPayload::held(std::span<const std::uint8_t> bytes, Release release,
                                  void* holder) noexcept {
    PacketPayload payload;
    payload.data_ = bytes.data();
    payload.size_ = bytes.size();
    payload.release_ = release;
    payload.holder_ = holder;
    return payload;
}

PacketPayload::PacketPayload(PacketPayload&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      release_(std::exchange(other.release_, nullptr)),
      holder_(std::exchange(other.holder_, nullptr)) {}

PacketPayload& PacketPayload::operator=(PacketPayload&& other) noexcept {
    if (this != &other) {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        release_ = std::exchange(other.release_, nullptr);
        holder_ = std::exchange(other.holder_, nullptr);
    }
    return *this;
}

PacketPayload::~PacketPayload() {
    reset();
}

void PacketPayload::reset() noexcept {
    if (release_ != nullptr) {
        std::exchange(release_, nullptr)(std::exchange(holder_, nullptr));
    }
    data_ = nullptr;
    size_ = 0;
}

}  // namespace ryvoobs
