#include "simulator/t1_block.h"

#include <gtest/gtest.h>

#include <vector>

using t1::Block;
using t1::Decoder;
using t1::BlockKind;
using t1::Received;
using t1::RError;
using t1::SType;

namespace {

using Bytes = std::vector<uint8_t>;
using Status = Received::Status;

std::vector<Received> FeedAll(Decoder& decoder, const Bytes& bytes) {
    decoder.Feed(bytes.data(), bytes.size());
    std::vector<Received> out;
    for (Received r; decoder.Next(r);) out.push_back(r);
    return out;
}

}  // namespace

// --- Encoding: the bytes on the line for every block kind -------------------

TEST(T1Encode, ResynchRequestAndResponseAreTheKnownFourBytes) {
    EXPECT_EQ(t1::Encode(t1::SupervisoryBlock(0x12, SType::kResynch, false)), (Bytes{0x12, 0xC0, 0x00, 0xD2}));
    EXPECT_EQ(t1::Encode(t1::SupervisoryBlock(0x21, SType::kResynch, true)), (Bytes{0x21, 0xE0, 0x00, 0xC1}));
}

TEST(T1Encode, InformationBlocksCarrySequenceAndMoreBits) {
    EXPECT_EQ(t1::Encode(t1::InformationBlock(0x12, false, false, {0x20, 0x11, 0x00, 0x00})),
              (Bytes{0x12, 0x00, 0x04, 0x20, 0x11, 0x00, 0x00, 0x27}));
    EXPECT_EQ(t1::Encode(t1::InformationBlock(0x21, true, false, {0x90, 0x00})),
              (Bytes{0x21, 0x40, 0x02, 0x90, 0x00, 0xF3}));
    EXPECT_EQ(t1::Encode(t1::InformationBlock(0x21, false, true, {0x90})), (Bytes{0x21, 0x20, 0x01, 0x90, 0x90}));
    EXPECT_EQ(t1::Encode(t1::InformationBlock(0x21, true, true, {})), (Bytes{0x21, 0x60, 0x00, 0x41}));
}

TEST(T1Encode, ReceiveReadyBlocksCarryExpectedSequenceAndError) {
    EXPECT_EQ(t1::Encode(t1::ReceiveReadyBlock(0x21, false, RError::kNone)), (Bytes{0x21, 0x80, 0x00, 0xA1}));
    EXPECT_EQ(t1::Encode(t1::ReceiveReadyBlock(0x21, true, RError::kCheck)), (Bytes{0x21, 0x91, 0x00, 0xB0}));
    EXPECT_EQ(t1::Encode(t1::ReceiveReadyBlock(0x21, false, RError::kOther)), (Bytes{0x21, 0x82, 0x00, 0xA3}));
}

TEST(T1Encode, WtxAndIfsBlocks) {
    EXPECT_EQ(t1::Encode(t1::SupervisoryBlock(0x21, SType::kWtx, false, {0x01})),
              (Bytes{0x21, 0xC3, 0x01, 0x01, 0xE2}));
    EXPECT_EQ(t1::Encode(t1::SupervisoryBlock(0x12, SType::kWtx, true, {0x01})),
              (Bytes{0x12, 0xE3, 0x01, 0x01, 0xF1}));
    EXPECT_EQ(t1::Encode(t1::SupervisoryBlock(0x21, SType::kIfs, true, {0x20})),
              (Bytes{0x21, 0xE1, 0x01, 0x20, 0xE1}));
}

TEST(T1Encode, InformationFieldIsCutAtTheLargestBlock) {
    const Bytes bytes = t1::Encode(t1::InformationBlock(0x21, false, false, Bytes(300, 0x55)));
    ASSERT_EQ(bytes.size(), 3u + 254u + 1u);
    EXPECT_EQ(bytes[2], 254);
    EXPECT_EQ(bytes.back(), t1::Lrc(bytes.data(), bytes.size() - 1));
}

TEST(T1Lrc, IsTheExclusiveOrOfAllBytes) {
    EXPECT_EQ(t1::Lrc(nullptr, 0), 0x00);
    const Bytes one = {0xA5};
    EXPECT_EQ(t1::Lrc(one.data(), one.size()), 0xA5);
    const Bytes atr = {0x21, 0x40, 0x0D, 0x3B, 0x86, 0x80, 0x01, 0x80, 0x53,
                       0x42, 0x53, 0x49, 0x4D, 0xC1, 0x90, 0x01};
    uint8_t expected = 0;
    for (uint8_t b : atr) expected = static_cast<uint8_t>(expected ^ b);
    EXPECT_EQ(t1::Lrc(atr.data(), atr.size()), expected);
    // Any single flipped bit changes it.
    Bytes flipped = atr;
    flipped[7] ^= 0x10;
    EXPECT_NE(t1::Lrc(flipped.data(), flipped.size()), expected);
}

TEST(T1Nad, AnswerSwapsSourceAndDestination) {
    EXPECT_EQ(t1::SwapNad(0x12), 0x21);
    EXPECT_EQ(t1::SwapNad(0x52), 0x25);
    EXPECT_EQ(t1::SwapNad(0x02), 0x20);
}

// --- Classification ----------------------------------------------------------

TEST(T1Classify, EveryBlockKindAndItsFields) {
    const Block i0{0x12, 0x00, {}};
    const Block i1more{0x12, 0x60, {}};
    EXPECT_EQ(i0.Kind(), BlockKind::kInformation);
    EXPECT_FALSE(i0.Sequence());
    EXPECT_FALSE(i0.More());
    EXPECT_EQ(i1more.Kind(), BlockKind::kInformation);
    EXPECT_TRUE(i1more.Sequence());
    EXPECT_TRUE(i1more.More());

    const Block r{0x02, 0x91, {}};
    EXPECT_EQ(r.Kind(), BlockKind::kReceiveReady);
    EXPECT_TRUE(r.Expected());
    EXPECT_EQ(r.Error(), RError::kCheck);
    EXPECT_EQ((Block{0x02, 0x82, {}}).Error(), RError::kOther);
    EXPECT_FALSE((Block{0x02, 0x80, {}}).Expected());

    const Block resynch{0x12, 0xC0, {}};
    EXPECT_EQ(resynch.Kind(), BlockKind::kSupervisory);
    EXPECT_TRUE(resynch.Is(SType::kResynch, false));
    EXPECT_FALSE(resynch.Is(SType::kResynch, true));
    const Block wtxResponse{0x12, 0xE3, {0x01}};
    EXPECT_TRUE(wtxResponse.Is(SType::kWtx, true));
    EXPECT_FALSE(wtxResponse.Is(SType::kWtx, false));
    EXPECT_TRUE((Block{0x12, 0xC1, {}}).Is(SType::kIfs, false));
    EXPECT_TRUE((Block{0x12, 0xE2, {}}).Is(SType::kAbort, true));
    // An I-block whose PCB happens to look like an S type is still an I-block.
    EXPECT_FALSE((Block{0x12, 0x03, {}}).Is(SType::kWtx, false));
}

TEST(T1Classify, BuiltBlocksReadBackTheirFields) {
    for (bool seq : {false, true}) {
        for (bool more : {false, true}) {
            const Block b = t1::InformationBlock(0x21, seq, more, {1, 2});
            EXPECT_EQ(b.Kind(), BlockKind::kInformation);
            EXPECT_EQ(b.Sequence(), seq);
            EXPECT_EQ(b.More(), more);
        }
        const Block r = t1::ReceiveReadyBlock(0x21, seq, RError::kOther);
        EXPECT_EQ(r.Kind(), BlockKind::kReceiveReady);
        EXPECT_EQ(r.Expected(), seq);
        EXPECT_EQ(r.Error(), RError::kOther);
    }
}

// --- Decoding a byte stream ---------------------------------------------------

TEST(T1Decode, WholeBlocksOneAfterAnotherInOneFeed) {
    Decoder d;
    const auto items = FeedAll(d, {0x12, 0xC0, 0x00, 0xD2, 0x12, 0x00, 0x04, 0x20, 0x11, 0x00, 0x00, 0x27});
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].status, Status::kGood);
    EXPECT_TRUE(items[0].block.Is(SType::kResynch, false));
    EXPECT_EQ(items[0].raw, (Bytes{0x12, 0xC0, 0x00, 0xD2}));
    EXPECT_EQ(items[1].status, Status::kGood);
    EXPECT_EQ(items[1].block.nad, 0x12);
    EXPECT_EQ(items[1].block.inf, (Bytes{0x20, 0x11, 0x00, 0x00}));
    EXPECT_EQ(d.Pending(), 0u);
}

TEST(T1Decode, ByteByByteWaitsForHeaderThenLengthPlusOne) {
    Decoder d;
    const Bytes block = {0x52, 0x40, 0x04, 0x20, 0x11, 0x02, 0x01, 0x24};
    for (size_t i = 0; i + 1 < block.size(); ++i) {
        EXPECT_TRUE(FeedAll(d, {block[i]}).empty()) << "after byte " << i;
        EXPECT_EQ(d.Pending(), i + 1);
    }
    const auto items = FeedAll(d, {block.back()});
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].status, Status::kGood);
    EXPECT_EQ(items[0].raw, block);
    EXPECT_EQ(d.Pending(), 0u);
}

TEST(T1Decode, EmptyInformationFieldNeedsOnlyTheCheckByte) {
    Decoder d;
    EXPECT_TRUE(FeedAll(d, {0x02, 0x80, 0x00}).empty());
    const auto items = FeedAll(d, {0x82, 0x12});
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].block.Kind(), BlockKind::kReceiveReady);
    EXPECT_EQ(d.Pending(), 1u);  // the start of the next block stays
}

TEST(T1Decode, WrongCheckByteIsReportedWithTheWholeBlockConsumed) {
    Decoder d;
    const auto items = FeedAll(d, {0x12, 0x00, 0x02, 0x90, 0x00, 0x00, 0x12, 0xC0, 0x00, 0xD2});
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].status, Status::kBadCheck);
    EXPECT_EQ(items[0].raw, (Bytes{0x12, 0x00, 0x02, 0x90, 0x00, 0x00}));
    EXPECT_EQ(items[0].block.inf, (Bytes{0x90, 0x00}));
    // The stream stays in step: the next block is read normally.
    EXPECT_EQ(items[1].status, Status::kGood);
    EXPECT_TRUE(items[1].block.Is(SType::kResynch, false));
}

TEST(T1Decode, LengthOverTheLargestBlockDropsEverythingHeard) {
    Decoder d;
    const auto items = FeedAll(d, {0x12, 0x00, 0xFF, 0x01, 0x02});
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].status, Status::kBadLength);
    EXPECT_EQ(items[0].raw, (Bytes{0x12, 0x00, 0xFF, 0x01, 0x02}));
    EXPECT_EQ(d.Pending(), 0u);
    // The line after it is read afresh.
    const auto next = FeedAll(d, {0x12, 0xC0, 0x00, 0xD2});
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].status, Status::kGood);
}

TEST(T1Decode, LargestBlockIsAccepted) {
    Decoder d;
    const Bytes block = t1::Encode(t1::InformationBlock(0x21, false, false, Bytes(254, 0xA5)));
    const auto items = FeedAll(d, block);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].status, Status::kGood);
    EXPECT_EQ(items[0].block.inf.size(), 254u);
}

TEST(T1Decode, GarbageThatAnnouncesMoreThanItBringsStaysPending) {
    Decoder d;
    EXPECT_TRUE(FeedAll(d, {0xDE, 0xAD, 0xBE, 0xEF}).empty());
    EXPECT_EQ(d.Pending(), 4u);
    d.Clear();
    EXPECT_EQ(d.Pending(), 0u);
}

TEST(T1Decode, FramedGarbageIsOneBlockWithAWrongCheckByte) {
    Decoder d;
    const auto items = FeedAll(d, {0xDE, 0xAD, 0x04, 0xBE, 0xEF, 0xCA, 0xFE, 0x00});
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].status, Status::kBadCheck);
}

TEST(T1Decode, ChainedAnswerSplitAndReassembled) {
    const Bytes answer = {0x3B, 0x86, 0x80, 0x01, 0x80, 0x53, 0x42, 0x53, 0x49, 0x4D, 0xC1, 0x90, 0x01};
    Bytes line;
    bool seq = false;
    for (size_t at = 0; at < answer.size(); at += 5) {
        const size_t take = std::min<size_t>(5, answer.size() - at);
        const bool more = at + take < answer.size();
        const Bytes piece(answer.begin() + static_cast<long>(at), answer.begin() + static_cast<long>(at + take));
        const Bytes block = t1::Encode(t1::InformationBlock(0x21, seq, more, piece));
        line.insert(line.end(), block.begin(), block.end());
        seq = !seq;
    }
    Decoder d;
    // Fed in awkward slices that cut across headers.
    std::vector<Received> items;
    for (size_t at = 0; at < line.size(); at += 3) {
        const size_t take = std::min<size_t>(3, line.size() - at);
        d.Feed(line.data() + at, take);
        for (Received r; d.Next(r);) items.push_back(r);
    }
    ASSERT_EQ(items.size(), 3u);
    Bytes joined;
    for (size_t k = 0; k < items.size(); ++k) {
        EXPECT_EQ(items[k].status, Status::kGood);
        EXPECT_EQ(items[k].block.Sequence(), k % 2 == 1);
        EXPECT_EQ(items[k].block.More(), k + 1 < items.size());
        joined.insert(joined.end(), items[k].block.inf.begin(), items[k].block.inf.end());
    }
    EXPECT_EQ(joined, answer);
}
