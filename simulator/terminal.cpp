#include "simulator/terminal.h"

#include <algorithm>
#include <string>

namespace ctsim {

namespace {

constexpr uint8_t kClaBcs = 0x20;
constexpr uint8_t kInsResetCt = 0x11;
constexpr uint8_t kInsRequestIcc = 0x12;
constexpr uint8_t kTagWaitTime = 0x80;

std::vector<uint8_t> Sw(uint8_t sw1, uint8_t sw2) { return {sw1, sw2}; }

}  // namespace

std::vector<uint8_t> HistoricalBytes(const std::vector<uint8_t>& atr) {
    if (atr.size() < 2) return {};
    const size_t count = atr[1] & 0x0F;
    unsigned indicators = atr[1] >> 4;
    size_t i = 2;
    for (;;) {
        // TA, TB and TC come before the TD that announces the next group.
        i += (indicators & 1) + ((indicators >> 1) & 1) + ((indicators >> 2) & 1);
        if (!(indicators & 8)) break;
        if (i >= atr.size()) return {};
        indicators = atr[i] >> 4;
        ++i;
    }
    if (i + count > atr.size()) return {};
    return std::vector<uint8_t>(atr.begin() + static_cast<std::ptrdiff_t>(i),
                                atr.begin() + static_cast<std::ptrdiff_t>(i + count));
}

Terminal::Terminal(const Scenario& scenario, Clock& clock, TraceSink* trace)
    : scenario_(scenario), clock_(clock), trace_(trace), origin_(clock.NowMs()) {}

void Terminal::Note(const std::string& text) {
    if (trace_) trace_->Write(TraceNoteLine(text));
}

void Terminal::Delay(Call call, uint32_t n) {
    if (const CallDelay* d = scenario_.DelayFor(call, n)) clock_.SleepMs(d->ms);
}

FaultKind Terminal::TakeFault() {
    const FaultKind kind = pendingFault_;
    pendingFault_ = FaultKind::kNone;
    return kind;
}

bool Terminal::ProbesNext(Call call) const {
    const uint32_t done = call == Call::kInit ? initCalls_ : call == Call::kData ? dataCalls_ : closeCalls_;
    return scenario_.ProbeFor(call, done + 1) != nullptr;
}

bool Terminal::NoteFault(Call call, uint32_t n) {
    const ForcedFault* fault = scenario_.FaultFor(call, n);
    if (fault == nullptr) return false;
    Note("fault: " + CallName(call) + " n=" + std::to_string(n) + " " + FaultName(fault->kind));
    pendingFault_ = fault->kind;
    return true;
}

int8_t Terminal::Init(uint16_t ctn, uint16_t pn) {
    const uint32_t n = ++initCalls_;
    const uint64_t t = Elapsed();
    Delay(Call::kInit, n);
    if (NoteFault(Call::kInit, n)) return kErrHtsi;
    int8_t result = kOk;
    if (const ForcedResult* forced = scenario_.ResultFor(Call::kInit, n)) {
        result = forced->code;
    } else if (!open_.insert(ctn).second) {
        result = kErrInvalid;
    }
    if (trace_) trace_->Write(TraceInitLine(n, t, ctn, pn, result));
    return result;
}

int8_t Terminal::Close(uint16_t ctn) {
    const uint32_t n = ++closeCalls_;
    const uint64_t t = Elapsed();
    Delay(Call::kClose, n);
    if (NoteFault(Call::kClose, n)) return kErrHtsi;
    int8_t result = kOk;
    if (const ForcedResult* forced = scenario_.ResultFor(Call::kClose, n)) {
        result = forced->code;
    } else if (open_.erase(ctn) == 0) {
        result = kErrInvalid;
    }
    if (trace_) trace_->Write(TraceCloseLine(n, t, ctn, result));
    return result;
}

int8_t Terminal::Data(uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc, const uint8_t* command,
                      uint16_t* lenr, uint8_t* response) {
    const uint32_t n = ++dataCalls_;
    DataTraceRecord rec;
    rec.n = n;
    rec.t = Elapsed();
    rec.ctn = ctn;
    rec.hasDad = dad != nullptr;
    rec.hasSad = sad != nullptr;
    rec.hasLenr = lenr != nullptr;
    rec.hasCommand = command != nullptr;
    if (dad) rec.dadIn = *dad;
    if (sad) rec.sadIn = *sad;
    if (lenr) rec.lenrIn = *lenr;
    if (command) rec.command.assign(command, command + lenc);

    Delay(Call::kData, n);
    if (NoteFault(Call::kData, n)) return kErrHtsi;
    uint16_t written = 0;
    rec.result = DataChecked(n, ctn, dad, sad, lenc, command, lenr, response, written);

    if (dad) rec.dadOut = *dad;
    if (sad) rec.sadOut = *sad;
    if (lenr) rec.lenrOut = *lenr;
    if (written) rec.response.assign(response, response + written);
    if (trace_) trace_->Write(TraceDataLine(rec));
    return rec.result;
}

int8_t Terminal::DataChecked(uint32_t n, uint16_t ctn, uint8_t* dad, uint8_t* sad, uint16_t lenc,
                             const uint8_t* command, uint16_t* lenr, uint8_t* response, uint16_t& written) {
    if (const ForcedResult* forced = scenario_.ResultFor(Call::kData, n)) return forced->code;
    if (open_.count(ctn) == 0) return kErrInvalid;
    if (!dad || !sad || !lenr || !response || !command || lenc == 0) return kErrInvalid;
    if (*sad != kAddrHost && *sad != kAddrRemoteHost) return kErrInvalid;

    Reply reply = Execute(*dad, command, lenc);
    if (reply.result != kOk) return reply.result;
    if (const ForcedStatus* forced = scenario_.StatusFor(Call::kData, n)) reply.bytes = forced->response;
    if (reply.bytes.size() > *lenr) return kErrMemory;

    std::copy(reply.bytes.begin(), reply.bytes.end(), response);
    written = static_cast<uint16_t>(reply.bytes.size());
    const ForcedLength* forcedLength = scenario_.LengthFor(Call::kData, n);
    *lenr = forcedLength ? forcedLength->length : written;
    *dad = *sad;
    *sad = reply.responder;
    return kOk;
}

Terminal::Reply Terminal::Execute(uint8_t dad, const uint8_t* command, uint16_t lenc) {
    Reply reply;
    if (command[0] == kClaBcs) {
        // The tool addresses its terminal commands to 1 or to 5 and relies on
        // P1 to pick the unit, so the address is not held against it.
        if (lenc < 4) {
            reply.bytes = Sw(0x67, 0x00);
        } else if (command[1] == kInsResetCt) {
            reply = ResetCt(command, lenc);
        } else if (command[1] == kInsRequestIcc) {
            reply = RequestIcc(command, lenc);
        } else {
            reply.bytes = Sw(0x6D, 0x00);
        }
        return reply;
    }
    if (dad == kAddrCt || dad == kAddrRemoteHost) {
        reply.bytes = Sw(0x6E, 0x00);
    } else if (dad == kAddrIcc1 || dad == kAddrIcc2) {
        // The simulated cards run no application: a present card turns every
        // command down itself, an empty slot is the terminal's to report.
        const int slot = dad == kAddrIcc1 ? 0 : 1;
        if (CardPresent(slot, clock_.NowMs())) {
            reply.bytes = Sw(0x6E, 0x00);
            reply.responder = dad;
        } else {
            reply.bytes = Sw(0x64, 0xA1);
        }
    } else {
        reply.result = kErrInvalid;
    }
    return reply;
}

Terminal::Reply Terminal::ResetCt(const uint8_t* command, uint16_t lenc) {
    Reply reply;
    const uint8_t p1 = command[2];
    const uint8_t p2 = command[3];
    if (lenc != 4 && lenc != 5) {
        reply.bytes = Sw(0x67, 0x00);
    } else if (p1 == 0) {
        reply.bytes = p2 == 0 ? Sw(0x90, 0x00) : Sw(0x6A, 0x00);
    } else if (p1 > 2 || p2 > 2) {
        reply.bytes = Sw(0x6A, 0x00);
    } else if (!CardPresent(p1 - 1, clock_.NowMs())) {
        reply.bytes = Sw(0x64, 0xA1);
    } else {
        reply.bytes = CardReady(p1 - 1, p2);
    }
    return reply;
}

Terminal::Reply Terminal::RequestIcc(const uint8_t* command, uint16_t lenc) {
    Reply reply;
    const uint8_t p1 = command[2];
    const uint8_t p2 = command[3];
    const uint8_t* data = nullptr;
    size_t lc = 0;
    if (lenc > 5) {
        lc = command[4];
        if (lc == 0 || (lenc != 5 + lc && lenc != 6 + lc)) {
            reply.bytes = Sw(0x67, 0x00);
            return reply;
        }
        data = command + 5;
    }
    if (p1 < 1 || p1 > 2 || (p2 & 0x0F) > 2) {
        reply.bytes = Sw(0x6A, 0x00);
        return reply;
    }

    uint32_t waitSeconds = 0;
    if (lc == 1) {
        // The tool sends the bare wait time, without a tag.
        waitSeconds = data[0];
    } else if (lc > 1) {
        for (size_t i = 0; i < lc;) {
            if (i + 2 > lc || i + 2 + data[i + 1] > lc) {
                reply.bytes = Sw(0x67, 0x00);
                return reply;
            }
            const uint8_t tag = data[i];
            const uint8_t len = data[i + 1];
            if (tag == kTagWaitTime) {
                if (len < 1 || len > 2) {
                    reply.bytes = Sw(0x67, 0x00);
                    return reply;
                }
                waitSeconds = len == 1 ? data[i + 2] : (data[i + 2] << 8 | data[i + 3]);
            }
            i += 2 + len;
        }
    }
    uint32_t waitMs = waitSeconds * 1000;
    if (scenario_.waitLimitMs) waitMs = std::min(waitMs, *scenario_.waitLimitMs);

    const int slot = p1 - 1;
    const uint64_t now = clock_.NowMs();
    // Presence is judged before arming, so a card set to arrive 0 ms after
    // the request is one inserted on the prompt, not one already there.
    if (CardPresent(slot, now)) {
        // Like the real terminal, a card already there is no error.
        reply.bytes = Sw(0x62, 0x01);
        return reply;
    }
    if (!armed_[slot]) {
        armed_[slot] = true;
        armedAt_[slot] = now;
    }
    const SlotSetup& setup = scenario_.slots[slot];
    if (setup.card != CardKind::kNone && setup.arriveAfterMs) {
        const uint64_t arrival = armedAt_[slot] + *setup.arriveAfterMs;
        if (arrival <= now + waitMs) {
            // A wait cut short ends as one that ran out.
            const bool waited = arrival <= now || clock_.WaitForCard(static_cast<uint32_t>(arrival - now));
            reply.bytes = waited ? CardReady(slot, p2 & 0x0F) : Sw(0x62, 0x00);
            return reply;
        }
    }
    if (waitMs) clock_.WaitForCard(waitMs);
    reply.bytes = Sw(0x62, 0x00);
    return reply;
}

std::vector<uint8_t> Terminal::AtrAnswer(int slot, uint8_t p2) const {
    const SlotSetup& setup = scenario_.slots[slot];
    if (p2 == 1) return setup.atr;
    if (p2 == 2) {
        // A memory card's four bytes carry no historical bytes to pick out.
        return setup.card == CardKind::kProcessor ? HistoricalBytes(setup.atr) : setup.atr;
    }
    return {};
}

std::vector<uint8_t> Terminal::CardReady(int slot, uint8_t p2) const {
    std::vector<uint8_t> bytes = AtrAnswer(slot, p2);
    if (scenario_.slots[slot].card == CardKind::kProcessor) {
        bytes.insert(bytes.end(), {0x90, 0x01});
    } else {
        bytes.insert(bytes.end(), {0x90, 0x00});
    }
    return bytes;
}

bool Terminal::CardPresent(int slot, uint64_t now) const {
    const SlotSetup& setup = scenario_.slots[slot];
    if (setup.card == CardKind::kNone) return false;
    if (!setup.arriveAfterMs) return true;
    return armed_[slot] && now >= armedAt_[slot] + *setup.arriveAfterMs;
}

}  // namespace ctsim
