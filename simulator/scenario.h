// What the simulated terminal is told to do: the cards in its two slots and
// the faults to inject. Read from a small line-based text (README.md).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ctsim {

enum class CardKind { kNone, kProcessor, kMemory };

struct SlotSetup {
    CardKind card = CardKind::kProcessor;
    // Always filled in for a card: the scenario's bytes or the kind's default.
    std::vector<uint8_t> atr;
    // Unset: the card is in the slot from the start. Set: the slot is empty
    // until this long after the first REQUEST ICC for the slot started.
    std::optional<uint32_t> arriveAfterMs;
};

enum class Call { kInit, kData, kClose };

// Which calls a rule applies to: the n-th call of a kind (counted from 1
// since the library was loaded, failing calls included), or every call of
// the kind when n is 0.
struct CallSelector {
    Call call = Call::kData;
    uint32_t n = 0;
};

struct ForcedResult {
    CallSelector at;
    int8_t code = 0;
};

struct ForcedStatus {
    CallSelector at;
    // Data bytes followed by SW1 SW2, exactly as handed back.
    std::vector<uint8_t> response;
};

struct ForcedLength {
    CallSelector at;
    uint16_t length = 0;
};

struct CallDelay {
    CallSelector at;
    uint32_t ms = 0;
};

// A fault the library raises inside a call and does not handle itself, as a
// maker's library with a bug would.
enum class FaultKind { kNone, kAccessViolation, kIllegalInstruction, kDivideByZero };

struct ForcedFault {
    CallSelector at;
    FaultKind kind = FaultKind::kNone;
};

// The library checks its caller's pointers on an unmapped page (the check
// faults inside the system and is handled there) before it answers.
struct PointerProbe {
    CallSelector at;
};

// What the serial front does to the line for one exchange instead of
// answering normally. The DLL front has no line and ignores these.
enum class LineFaultKind { kBadCheck, kGarbage, kSilent };

struct LineFault {
    CallSelector at;
    LineFaultKind kind = LineFaultKind::kBadCheck;
    // kGarbage: what goes out in place of the answer.
    std::vector<uint8_t> garbage;
};

// What the serial terminal does with a block other than the S(WTX response)
// it awaits while a REQUEST ICC waits for a card.
enum class InWait {
    kDrop,     // drops it and asks for more time again
    kRefuse,   // answers it with an R-block, and still awaits the response
    kEndWait,  // ends the wait as if it had run out, and drops the block
};

// The largest INF one T=1 block may carry.
constexpr uint8_t kMaxLineBlockSize = 254;

struct Scenario {
    SlotSetup slots[2];
    std::vector<ForcedResult> results;
    std::vector<ForcedStatus> statuses;
    std::vector<ForcedLength> lengths;
    std::vector<CallDelay> delays;
    std::vector<ForcedFault> faults;
    std::vector<PointerProbe> probes;
    // Caps the time a REQUEST ICC really waits, so that runs with a card that
    // never comes need not last a minute.
    std::optional<uint32_t> waitLimitMs;
    // The serial front's line (ignored by the DLL front).
    std::vector<LineFault> lineFaults;
    uint8_t lineBlockSize = kMaxLineBlockSize;
    uint32_t lineWtxMs = 1000;
    InWait lineInWait = InWait::kDrop;

    Scenario();

    // The rule for the n-th call of `call`: one naming that call wins over an
    // every-call one; among equals the later line wins. Null when none.
    const ForcedResult* ResultFor(Call call, uint32_t n) const;
    const ForcedStatus* StatusFor(Call call, uint32_t n) const;
    const ForcedLength* LengthFor(Call call, uint32_t n) const;
    const CallDelay* DelayFor(Call call, uint32_t n) const;
    const LineFault* LineFaultFor(Call call, uint32_t n) const;
    const PointerProbe* ProbeFor(Call call, uint32_t n) const;
    const ForcedFault* FaultFor(Call call, uint32_t n) const;
};

const std::vector<uint8_t>& DefaultProcessorAtr();
const std::vector<uint8_t>& DefaultMemoryAtr();
// What `line garbage` sends when it names no bytes: junk whose third byte
// announces exactly the bytes that follow, so that a reader going by the
// block header stops after it (and finds the check byte wrong).
const std::vector<uint8_t>& DefaultLineGarbage();

struct ScenarioError {
    unsigned line = 0;  // 1-based; 0 when the error is not about one line
    std::string message;
};

// Parses the whole text. On any error `out` is left untouched and every bad
// line is reported, so one look at the trace shows them all.
bool ParseScenario(const std::string& text, Scenario& out, std::vector<ScenarioError>& errors);

// Reads and parses a file; a file that cannot be read is an error with line 0.
bool LoadScenarioFile(const std::string& path, Scenario& out, std::vector<ScenarioError>& errors);

// "scenario error: PATH[:LINE]: MESSAGE", as the trace and stderr show it.
std::string ScenarioErrorText(const std::string& path, const ScenarioError& error);

std::string CallName(Call call);
// "access-violation", "illegal-instruction", "divide-by-zero", as scenarios
// and the trace write them.
std::string FaultName(FaultKind kind);

}  // namespace ctsim
