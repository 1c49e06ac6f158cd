// T=1 blocks as serial CT-BCS terminals exchange them with the host:
// NAD PCB LEN INF.. LRC. Building, checking and cutting a byte stream into
// blocks; no I/O, no timing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace t1 {

constexpr size_t kHeaderSize = 3;
constexpr size_t kMaxInf = 254;

enum class BlockKind { kInformation, kReceiveReady, kSupervisory };

// R-block error bits.
enum class RError : uint8_t { kNone = 0, kCheck = 1, kOther = 2 };

// S-block types (the low five PCB bits).
enum class SType : uint8_t { kResynch = 0x00, kIfs = 0x01, kAbort = 0x02, kWtx = 0x03 };

struct Block {
    uint8_t nad = 0;
    uint8_t pcb = 0;
    std::vector<uint8_t> inf;

    BlockKind Kind() const;
    // I-block: the send sequence number and the more-data (chaining) bit.
    bool Sequence() const { return (pcb & 0x40) != 0; }
    bool More() const { return (pcb & 0x20) != 0; }
    // R-block: the sequence number of the I-block expected next, and why.
    bool Expected() const { return (pcb & 0x10) != 0; }
    RError Error() const { return static_cast<RError>(pcb & 0x0F); }
    // S-block.
    SType Type() const { return static_cast<SType>(pcb & 0x1F); }
    bool Response() const { return (pcb & 0x20) != 0; }
    bool Is(SType t, bool isResponse) const {
        return Kind() == BlockKind::kSupervisory && Type() == t && Response() == isResponse;
    }
};

Block InformationBlock(uint8_t nad, bool sequence, bool more, std::vector<uint8_t> inf);
Block ReceiveReadyBlock(uint8_t nad, bool expected, RError error);
Block SupervisoryBlock(uint8_t nad, SType type, bool response, std::vector<uint8_t> inf = {});

// The exclusive or of the bytes: T=1's check byte.
uint8_t Lrc(const uint8_t* bytes, size_t count);

// The block's bytes on the line, check byte included. INF beyond kMaxInf is
// the caller's error and is cut off.
std::vector<uint8_t> Encode(const Block& block);

// The answer's address: source and destination change places.
inline uint8_t SwapNad(uint8_t nad) { return static_cast<uint8_t>((nad << 4) | (nad >> 4)); }

// What the decoder made of a stretch of the line.
struct Received {
    enum class Status {
        kGood,
        kBadCheck,   // a whole block whose check byte is wrong
        kBadLength,  // a header announcing more than kMaxInf: not a block at all
    };
    Status status = Status::kGood;
    Block block;                // filled in for kGood and kBadCheck
    std::vector<uint8_t> raw;   // the bytes as they came
};

// Cuts the incoming byte stream into blocks: the header first, then the
// LEN + 1 bytes it announces.
class Decoder {
public:
    void Feed(const uint8_t* bytes, size_t count);
    // The next finished item, oldest first; false when none is ready.
    bool Next(Received& out);
    // Bytes of a block that has not fully arrived yet.
    size_t Pending() const { return buffer_.size(); }
    void Clear() { buffer_.clear(); }

private:
    void Cut();

    std::vector<uint8_t> buffer_;
    std::deque<Received> ready_;
};

}  // namespace t1
