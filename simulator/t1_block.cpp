#include "simulator/t1_block.h"

#include <utility>

namespace t1 {

BlockKind Block::Kind() const {
    if ((pcb & 0x80) == 0) return BlockKind::kInformation;
    return (pcb & 0x40) == 0 ? BlockKind::kReceiveReady : BlockKind::kSupervisory;
}

Block InformationBlock(uint8_t nad, bool sequence, bool more, std::vector<uint8_t> inf) {
    return {nad, static_cast<uint8_t>((sequence ? 0x40 : 0x00) | (more ? 0x20 : 0x00)), std::move(inf)};
}

Block ReceiveReadyBlock(uint8_t nad, bool expected, RError error) {
    return {nad, static_cast<uint8_t>(0x80 | (expected ? 0x10 : 0x00) | static_cast<uint8_t>(error)), {}};
}

Block SupervisoryBlock(uint8_t nad, SType type, bool response, std::vector<uint8_t> inf) {
    return {nad, static_cast<uint8_t>(0xC0 | (response ? 0x20 : 0x00) | static_cast<uint8_t>(type)),
            std::move(inf)};
}

uint8_t Lrc(const uint8_t* bytes, size_t count) {
    uint8_t lrc = 0;
    for (size_t i = 0; i < count; ++i) lrc ^= bytes[i];
    return lrc;
}

std::vector<uint8_t> Encode(const Block& block) {
    const size_t length = block.inf.size() < kMaxInf ? block.inf.size() : kMaxInf;
    std::vector<uint8_t> bytes;
    bytes.reserve(kHeaderSize + length + 1);
    bytes.push_back(block.nad);
    bytes.push_back(block.pcb);
    bytes.push_back(static_cast<uint8_t>(length));
    bytes.insert(bytes.end(), block.inf.begin(), block.inf.begin() + static_cast<std::ptrdiff_t>(length));
    bytes.push_back(Lrc(bytes.data(), bytes.size()));
    return bytes;
}

void Decoder::Feed(const uint8_t* bytes, size_t count) {
    buffer_.insert(buffer_.end(), bytes, bytes + count);
    Cut();
}

void Decoder::Cut() {
    while (buffer_.size() >= kHeaderSize) {
        const size_t length = buffer_[2];
        if (length > kMaxInf) {
            // Without a pause on the line to go by there is no telling where
            // the next block starts, so everything heard so far goes.
            Received bad;
            bad.status = Received::Status::kBadLength;
            bad.raw = std::move(buffer_);
            buffer_.clear();
            ready_.push_back(std::move(bad));
            return;
        }
        const size_t total = kHeaderSize + length + 1;
        if (buffer_.size() < total) return;
        Received item;
        item.raw.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
        item.block.nad = item.raw[0];
        item.block.pcb = item.raw[1];
        item.block.inf.assign(item.raw.begin() + kHeaderSize, item.raw.end() - 1);
        item.status = Lrc(item.raw.data(), total - 1) == item.raw.back() ? Received::Status::kGood
                                                                          : Received::Status::kBadCheck;
        ready_.push_back(std::move(item));
    }
}

bool Decoder::Next(Received& out) {
    if (ready_.empty()) return false;
    out = std::move(ready_.front());
    ready_.pop_front();
    return true;
}

}  // namespace t1
