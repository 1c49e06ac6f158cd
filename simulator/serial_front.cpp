#include "simulator/serial_front.h"

#include <algorithm>

namespace ctsim {

namespace {

// The line carries no response room; the host takes whatever comes.
constexpr uint16_t kResponseRoom = 0xFFFF;
// The wire carries no port number either.
constexpr uint16_t kLinePortNumber = 0;
// One more block waiting time each time the host is asked for it.
constexpr uint8_t kWtxMultiplier = 1;

// A forced length only changes what a library reports, and no library sits
// on this side of the line: the bytes are all the host ever gets.
Scenario WithoutForcedLengths(Scenario scenario) {
    scenario.lengths.clear();
    return scenario;
}

}  // namespace

SerialFront::SerialFront(const Scenario& scenario, Clock& clock, ByteLine& line, TraceSink* trace)
    : scenario_(scenario),
      clock_(clock),
      line_(line),
      trace_(trace),
      waitClock_(*this),
      terminal_(WithoutForcedLengths(scenario), waitClock_, trace) {}

void SerialFront::Serve() {
    while (Step()) {
    }
}

bool SerialFront::Step() {
    t1::Received received;
    if (!NextReceived(received)) return false;
    Handle(received);
    return !lineGone_;
}

bool SerialFront::NextReceived(t1::Received& received) {
    while (!decoder_.Next(received)) {
        std::vector<uint8_t> bytes;
        if (lineGone_ || !line_.Read(bytes)) {
            lineGone_ = true;
            return false;
        }
        decoder_.Feed(bytes.data(), bytes.size());
    }
    TraceLine("T1 rx " + SpacedHexBytes(received.raw));
    return true;
}

void SerialFront::Handle(const t1::Received& received) {
    switch (received.status) {
    case t1::Received::Status::kBadCheck:
        Send(t1::ReceiveReadyBlock(replyNad_, hostExpected_, t1::RError::kCheck));
        return;
    case t1::Received::Status::kBadLength:
        Send(t1::ReceiveReadyBlock(replyNad_, hostExpected_, t1::RError::kOther));
        return;
    case t1::Received::Status::kGood:
        break;
    }
    const t1::Block& block = received.block;
    switch (block.Kind()) {
    case t1::BlockKind::kInformation: OnInformation(block); break;
    case t1::BlockKind::kReceiveReady: OnReceiveReady(block); break;
    case t1::BlockKind::kSupervisory: OnSupervisory(block); break;
    }
}

void SerialFront::OnSupervisory(const t1::Block& block) {
    if (block.Is(t1::SType::kResynch, false)) {
        OnResynch(block.nad);
    } else if (block.Is(t1::SType::kIfs, false) && block.inf.size() == 1 && block.inf[0] >= 1 &&
               block.inf[0] <= t1::kMaxInf) {
        hostBlockSize_ = block.inf[0];
        Send(t1::SupervisoryBlock(t1::SwapNad(block.nad), t1::SType::kIfs, true, block.inf));
    } else if (block.Is(t1::SType::kAbort, false)) {
        hostChain_.clear();
        pieces_.clear();
        Send(t1::SupervisoryBlock(t1::SwapNad(block.nad), t1::SType::kAbort, true));
    } else if (block.Is(t1::SType::kWtx, true)) {
        // Late, after the wait it was for had ended: nothing to answer.
    } else {
        Send(t1::ReceiveReadyBlock(replyNad_, hostExpected_, t1::RError::kOther));
    }
}

void SerialFront::OnResynch(uint8_t nad) {
    // The line shows no CT_init; the host's first RESYNCH is where it opens
    // the terminal. Later ones only restart the link.
    if (!modelOpen_) {
        if (scenario_.LineFaultFor(Call::kInit, ++opens_)) {
            TraceLine("T1 silent");
            return;
        }
        if (terminal_.Init(kLineTerminalNumber, kLinePortNumber) != kOk) {
            // Anything but the RESYNCH response fails the host's open.
            Send(t1::ReceiveReadyBlock(t1::SwapNad(nad), false, t1::RError::kOther));
            return;
        }
        modelOpen_ = true;
    }
    ResetLink();
    Send(t1::SupervisoryBlock(t1::SwapNad(nad), t1::SType::kResynch, true));
}

void SerialFront::ResetLink() {
    ownSequence_ = false;
    hostExpected_ = false;
    hostBlockSize_ = t1::kMaxInf;
    hostChain_.clear();
    pieces_.clear();
    lastBlock_.clear();
}

void SerialFront::OnInformation(const t1::Block& block) {
    replyNad_ = t1::SwapNad(block.nad);
    hostExpected_ = !block.Sequence();
    // A new command ends whatever was left of the last answer.
    pieces_.clear();
    hostChain_.insert(hostChain_.end(), block.inf.begin(), block.inf.end());
    if (block.More()) {
        Send(t1::ReceiveReadyBlock(replyNad_, hostExpected_, t1::RError::kNone));
        return;
    }
    std::vector<uint8_t> command;
    command.swap(hostChain_);
    Exchange(block.nad, command);
}

void SerialFront::OnReceiveReady(const t1::Block& block) {
    if (!pieces_.empty() && block.Expected() != lastSequence_) {
        SendNextPiece(nullptr);
    } else if (!lastBlock_.empty()) {
        Write(lastBlock_);
    } else {
        Send(t1::ReceiveReadyBlock(replyNad_, hostExpected_, t1::RError::kOther));
    }
}

void SerialFront::Exchange(uint8_t nad, const std::vector<uint8_t>& command) {
    const uint32_t n = ++exchanges_;
    const LineFault* fault = scenario_.LineFaultFor(Call::kData, n);
    uint8_t dad = static_cast<uint8_t>(nad >> 4);
    uint8_t sad = static_cast<uint8_t>(nad & 0x0F);
    uint16_t lenr = kResponseRoom;
    std::vector<uint8_t> answer(kResponseRoom);
    exchangeAbandoned_ = false;
    const int8_t result = terminal_.Data(kLineTerminalNumber, &dad, &sad, static_cast<uint16_t>(command.size()),
                                         command.data(), &lenr, answer.data());
    if (exchangeAbandoned_ || lineGone_) return;

    if (result != kOk) {
        // A failure has no status word to carry it; a block the host must
        // reject makes its library fail the call too.
        std::vector<uint8_t> broken = t1::Encode(t1::InformationBlock(replyNad_, ownSequence_, false, {}));
        broken.back() ^= 0xFF;
        lastBlock_ = broken;
        lastSequence_ = ownSequence_;
        ownSequence_ = !ownSequence_;
        Write(broken);
        return;
    }
    answer.resize(lenr);
    QueueAnswer(answer);
    SendNextPiece(fault);
}

void SerialFront::QueueAnswer(const std::vector<uint8_t>& answer) {
    const size_t size = std::min<size_t>(scenario_.lineBlockSize, hostBlockSize_);
    pieces_.clear();
    size_t at = 0;
    do {
        const size_t take = std::min(size, answer.size() - at);
        pieces_.emplace_back(answer.begin() + static_cast<std::ptrdiff_t>(at),
                             answer.begin() + static_cast<std::ptrdiff_t>(at + take));
        at += take;
    } while (at < answer.size());
}

void SerialFront::SendNextPiece(const LineFault* fault) {
    std::vector<uint8_t> inf = std::move(pieces_.front());
    pieces_.pop_front();
    lastBlock_ = t1::Encode(t1::InformationBlock(replyNad_, ownSequence_, !pieces_.empty(), std::move(inf)));
    lastSequence_ = ownSequence_;
    ownSequence_ = !ownSequence_;
    // A fault spoils this one transmission; a host asking again with an
    // R-block gets the real block.
    if (!fault) {
        Write(lastBlock_);
        return;
    }
    switch (fault->kind) {
    case LineFaultKind::kBadCheck: {
        std::vector<uint8_t> spoiled = lastBlock_;
        spoiled.back() ^= 0xFF;
        Write(spoiled);
        break;
    }
    case LineFaultKind::kGarbage: Write(fault->garbage); break;
    case LineFaultKind::kSilent: TraceLine("T1 silent"); break;
    }
}

bool SerialFront::WaitWithWtx(uint32_t ms) {
    uint32_t left = ms;
    while (left > 0) {
        const uint32_t step = std::min(left, scenario_.lineWtxMs);
        clock_.SleepMs(step);
        left -= step;
        if (left > 0 && !AskForMoreTime()) return false;
    }
    return true;
}

bool SerialFront::AskForMoreTime() {
    if (lineGone_ || exchangeAbandoned_) return false;
    const t1::Block request =
        t1::SupervisoryBlock(replyNad_, t1::SType::kWtx, false, std::vector<uint8_t>{kWtxMultiplier});
    Send(request);
    for (;;) {
        t1::Received received;
        if (!NextReceived(received)) return false;
        const bool good = received.status == t1::Received::Status::kGood;
        if (good && received.block.Is(t1::SType::kWtx, true)) return true;
        if (good && received.block.Is(t1::SType::kResynch, false)) {
            // The host started over (a new program on the line): the command
            // being waited on is answered to no one.
            OnResynch(received.block.nad);
            exchangeAbandoned_ = true;
            return false;
        }
        // Whatever else came is not what the terminal waits for.
        switch (scenario_.lineInWait) {
        case InWait::kDrop: Send(request); break;
        case InWait::kRefuse: Send(t1::ReceiveReadyBlock(replyNad_, hostExpected_, t1::RError::kOther)); break;
        case InWait::kEndWait: return false;
        }
    }
}

void SerialFront::Write(const std::vector<uint8_t>& bytes) {
    if (lineGone_) return;
    TraceLine("T1 tx " + SpacedHexBytes(bytes));
    line_.Write(bytes);
}

void SerialFront::TraceLine(const std::string& line) {
    if (trace_) trace_->Write(line);
}

}  // namespace ctsim
