#include "simulator/scenario.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

namespace ctsim {

namespace {

// The longest ATR a card may send.
constexpr size_t kMaxAtr = 33;
// Delays and arrival times beyond this are surely typos.
constexpr unsigned long kMaxMs = 24UL * 60 * 60 * 1000;

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool ParseUnsigned(const std::string& token, unsigned long max, unsigned long& value) {
    if (token.empty() || !std::all_of(token.begin(), token.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return false;
    }
    errno = 0;
    const unsigned long v = std::strtoul(token.c_str(), nullptr, 10);
    if (errno == ERANGE || v > max) return false;
    value = v;
    return true;
}

bool ParseSigned(const std::string& token, long min, long max, long& value) {
    size_t digits = 0;
    if (!token.empty() && (token[0] == '-' || token[0] == '+')) digits = 1;
    if (token.size() == digits) return false;
    for (size_t i = digits; i < token.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(token[i]))) return false;
    }
    errno = 0;
    const long v = std::strtol(token.c_str(), nullptr, 10);
    if (errno == ERANGE || v < min || v > max) return false;
    value = v;
    return true;
}

bool IsHexToken(const std::string& token) {
    return !token.empty() && token.size() % 2 == 0 &&
           std::all_of(token.begin(), token.end(),
                       [](unsigned char c) { return std::isxdigit(c) != 0; });
}

// Bytes may be written "3B 86 80" or "3B8680"; the run stops at the first
// token that is not hex, which is then the next keyword.
size_t TakeHex(const std::vector<std::string>& tokens, size_t from, std::vector<uint8_t>& bytes) {
    size_t i = from;
    for (; i < tokens.size() && IsHexToken(tokens[i]); ++i) {
        for (size_t k = 0; k < tokens[i].size(); k += 2) {
            bytes.push_back(static_cast<uint8_t>(std::strtoul(tokens[i].substr(k, 2).c_str(), nullptr, 16)));
        }
    }
    return i;
}

bool ParseSelector(const std::string& token, CallSelector& sel, std::string& error) {
    const std::string t = Lower(token);
    const size_t colon = t.find(':');
    const std::string name = t.substr(0, colon);
    if (name == "ct_init") {
        sel.call = Call::kInit;
    } else if (name == "ct_data") {
        sel.call = Call::kData;
    } else if (name == "ct_close") {
        sel.call = Call::kClose;
    } else {
        error = "'" + token + "' is not CT_init, CT_data or CT_close (optionally :N)";
        return false;
    }
    sel.n = 0;
    if (colon != std::string::npos) {
        unsigned long n = 0;
        if (!ParseUnsigned(t.substr(colon + 1), std::numeric_limits<uint32_t>::max(), n) || n == 0) {
            error = "'" + token + "': the call number must be 1 or more";
            return false;
        }
        sel.n = static_cast<uint32_t>(n);
    }
    return true;
}

class LineParser {
public:
    LineParser(Scenario& scenario, bool (&slotSeen)[2]) : s_(scenario), slotSeen_(slotSeen) {}

    // Empty string when the line is good.
    std::string Parse(const std::vector<std::string>& tk) {
        const std::string keyword = Lower(tk[0]);
        if (keyword == "slot") return Slot(tk);
        if (keyword == "result") return Result(tk);
        if (keyword == "status") return Status(tk);
        if (keyword == "length") return Length(tk);
        if (keyword == "delay") return Delay(tk);
        if (keyword == "wait-limit") return WaitLimit(tk);
        if (keyword == "line") return Line(tk);
        if (keyword == "fault") return Fault(tk);
        if (keyword == "probe") return Probe(tk);
        return "unknown keyword '" + tk[0] + "'";
    }

private:
    std::string Slot(const std::vector<std::string>& tk) {
        unsigned long number = 0;
        if (tk.size() < 3 || !ParseUnsigned(tk[1], 2, number) || number == 0) {
            return "expected: slot 1|2 processor|memory|empty [atr HEX..] [arrive MS|never]";
        }
        if (slotSeen_[number - 1]) return "slot " + tk[1] + " is set up twice";
        slotSeen_[number - 1] = true;

        SlotSetup slot;
        const std::string kind = Lower(tk[2]);
        if (kind == "empty") {
            if (tk.size() != 3) return "an empty slot takes nothing after 'empty'";
            slot.card = CardKind::kNone;
            s_.slots[number - 1] = slot;
            return {};
        }
        if (kind == "processor") {
            slot.card = CardKind::kProcessor;
        } else if (kind == "memory") {
            slot.card = CardKind::kMemory;
        } else {
            return "card kind '" + tk[2] + "' is not processor, memory or empty";
        }
        bool never = false;
        bool atrGiven = false;
        size_t i = 3;
        while (i < tk.size()) {
            const std::string option = Lower(tk[i]);
            if (option == "atr" && !atrGiven) {
                atrGiven = true;
                const size_t next = TakeHex(tk, i + 1, slot.atr);
                if (next == i + 1) return "'atr' needs hex bytes";
                if (slot.atr.size() < 2 || slot.atr.size() > kMaxAtr) return "an ATR is 2 to 33 bytes";
                i = next;
            } else if (option == "arrive" && !slot.arriveAfterMs && !never) {
                if (i + 1 >= tk.size()) return "'arrive' needs milliseconds or 'never'";
                unsigned long ms = 0;
                if (Lower(tk[i + 1]) == "never") {
                    never = true;
                } else if (ParseUnsigned(tk[i + 1], kMaxMs, ms)) {
                    slot.arriveAfterMs = static_cast<uint32_t>(ms);
                } else {
                    return "'" + tk[i + 1] + "' is not a time in milliseconds";
                }
                i += 2;
            } else {
                return "unexpected '" + tk[i] + "'";
            }
        }
        if (!atrGiven) slot.atr = slot.card == CardKind::kMemory ? DefaultMemoryAtr() : DefaultProcessorAtr();
        if (never) {
            slot.card = CardKind::kNone;
            slot.atr.clear();
        }
        s_.slots[number - 1] = slot;
        return {};
    }

    std::string Result(const std::vector<std::string>& tk) {
        ForcedResult r;
        std::string error;
        if (tk.size() != 3) return "expected: result CALL[:N] CODE";
        if (!ParseSelector(tk[1], r.at, error)) return error;
        long code = 0;
        if (!ParseSigned(tk[2], -128, 127, code) || code == 0) {
            return "'" + tk[2] + "' is not a non-zero result code from -128 to 127";
        }
        r.code = static_cast<int8_t>(code);
        s_.results.push_back(r);
        return {};
    }

    std::string Status(const std::vector<std::string>& tk) {
        ForcedStatus st;
        std::string error;
        if (tk.size() < 3) return "expected: status CT_data[:N] SW1 SW2 [data HEX..]";
        if (!ParseSelector(tk[1], st.at, error)) return error;
        if (st.at.call != Call::kData) return "a status word can only be forced on CT_data";
        std::vector<uint8_t> sw;
        size_t i = TakeHex(tk, 2, sw);
        if (sw.size() != 2) return "expected exactly two status bytes, SW1 SW2";
        if (i < tk.size()) {
            if (Lower(tk[i]) != "data") return "unexpected '" + tk[i] + "'";
            const size_t next = TakeHex(tk, i + 1, st.response);
            if (next == i + 1) return "'data' needs hex bytes";
            if (next != tk.size()) return "unexpected '" + tk[next] + "'";
        }
        st.response.insert(st.response.end(), sw.begin(), sw.end());
        s_.statuses.push_back(st);
        return {};
    }

    std::string Length(const std::vector<std::string>& tk) {
        ForcedLength l;
        std::string error;
        if (tk.size() != 3) return "expected: length CT_data[:N] BYTES";
        if (!ParseSelector(tk[1], l.at, error)) return error;
        if (l.at.call != Call::kData) return "a response length can only be forced on CT_data";
        unsigned long length = 0;
        if (!ParseUnsigned(tk[2], 0xFFFF, length)) return "'" + tk[2] + "' is not a length from 0 to 65535";
        l.length = static_cast<uint16_t>(length);
        s_.lengths.push_back(l);
        return {};
    }

    std::string Delay(const std::vector<std::string>& tk) {
        CallDelay d;
        std::string error;
        if (tk.size() != 3) return "expected: delay CALL[:N] MS";
        if (!ParseSelector(tk[1], d.at, error)) return error;
        unsigned long ms = 0;
        if (!ParseUnsigned(tk[2], kMaxMs, ms)) return "'" + tk[2] + "' is not a time in milliseconds";
        d.ms = static_cast<uint32_t>(ms);
        s_.delays.push_back(d);
        return {};
    }

    std::string WaitLimit(const std::vector<std::string>& tk) {
        unsigned long ms = 0;
        if (tk.size() != 2 || !ParseUnsigned(tk[1], kMaxMs, ms)) return "expected: wait-limit MS";
        s_.waitLimitMs = static_cast<uint32_t>(ms);
        return {};
    }

    std::string Line(const std::vector<std::string>& tk) {
        if (tk.size() < 2) return "expected: line lrc|garbage|silent|block-size|wtx|in-wait ...";
        const std::string what = Lower(tk[1]);
        if (what == "block-size") {
            unsigned long size = 0;
            if (tk.size() != 3 || !ParseUnsigned(tk[2], kMaxLineBlockSize, size) || size == 0) {
                return "expected: line block-size N (1 to 254)";
            }
            s_.lineBlockSize = static_cast<uint8_t>(size);
            return {};
        }
        if (what == "wtx") {
            unsigned long ms = 0;
            if (tk.size() != 3 || !ParseUnsigned(tk[2], kMaxMs, ms) || ms == 0) {
                return "expected: line wtx MS (1 or more)";
            }
            s_.lineWtxMs = static_cast<uint32_t>(ms);
            return {};
        }
        if (what == "in-wait") {
            const std::string how = tk.size() == 3 ? Lower(tk[2]) : "";
            if (how == "drop") {
                s_.lineInWait = InWait::kDrop;
            } else if (how == "refuse") {
                s_.lineInWait = InWait::kRefuse;
            } else if (how == "end-wait") {
                s_.lineInWait = InWait::kEndWait;
            } else {
                return "expected: line in-wait drop|refuse|end-wait";
            }
            return {};
        }
        LineFault fault;
        if (what == "lrc") {
            fault.kind = LineFaultKind::kBadCheck;
        } else if (what == "garbage") {
            fault.kind = LineFaultKind::kGarbage;
        } else if (what == "silent") {
            fault.kind = LineFaultKind::kSilent;
        } else {
            return "'" + tk[1] + "' is not lrc, garbage, silent, block-size, wtx or in-wait";
        }
        if (tk.size() < 3) return "expected: line " + what + " CT_data[:N]";
        std::string error;
        if (!ParseSelector(tk[2], fault.at, error)) return error;
        // The host's opening RESYNCH stands for CT_init on the line: only
        // silence can be put there.
        const bool silentOpen = fault.kind == LineFaultKind::kSilent && fault.at.call == Call::kInit;
        if (fault.at.call != Call::kData && !silentOpen) return "a line fault can only be put on CT_data";
        size_t next = 3;
        if (fault.kind == LineFaultKind::kGarbage) {
            next = TakeHex(tk, 3, fault.garbage);
            if (fault.garbage.empty()) fault.garbage = DefaultLineGarbage();
        }
        if (next != tk.size()) return "unexpected '" + tk[next] + "'";
        s_.lineFaults.push_back(fault);
        return {};
    }

    std::string Fault(const std::vector<std::string>& tk) {
        ForcedFault f;
        std::string error;
        if (tk.size() != 3) return "expected: fault CALL[:N] access-violation|illegal-instruction|divide-by-zero";
        if (!ParseSelector(tk[1], f.at, error)) return error;
        for (FaultKind kind : {FaultKind::kAccessViolation, FaultKind::kIllegalInstruction, FaultKind::kDivideByZero}) {
            if (Lower(tk[2]) == FaultName(kind)) f.kind = kind;
        }
        if (f.kind == FaultKind::kNone) {
            return "'" + tk[2] + "' is not access-violation, illegal-instruction or divide-by-zero";
        }
        s_.faults.push_back(f);
        return {};
    }

    std::string Probe(const std::vector<std::string>& tk) {
        PointerProbe p;
        std::string error;
        if (tk.size() != 2) return "expected: probe CALL[:N]";
        if (!ParseSelector(tk[1], p.at, error)) return error;
        s_.probes.push_back(p);
        return {};
    }

    Scenario& s_;
    bool (&slotSeen_)[2];
};

template <class Rule>
const Rule* Find(const std::vector<Rule>& rules, Call call, uint32_t n) {
    const Rule* every = nullptr;
    const Rule* exact = nullptr;
    for (const Rule& r : rules) {
        if (r.at.call != call) continue;
        if (r.at.n == n) exact = &r;
        if (r.at.n == 0) every = &r;
    }
    return exact ? exact : every;
}

}  // namespace

Scenario::Scenario() {
    slots[0].atr = DefaultProcessorAtr();
    slots[1].atr = DefaultProcessorAtr();
}

const ForcedResult* Scenario::ResultFor(Call call, uint32_t n) const { return Find(results, call, n); }
const ForcedStatus* Scenario::StatusFor(Call call, uint32_t n) const { return Find(statuses, call, n); }
const ForcedLength* Scenario::LengthFor(Call call, uint32_t n) const { return Find(lengths, call, n); }
const CallDelay* Scenario::DelayFor(Call call, uint32_t n) const { return Find(delays, call, n); }
const LineFault* Scenario::LineFaultFor(Call call, uint32_t n) const { return Find(lineFaults, call, n); }
const PointerProbe* Scenario::ProbeFor(Call call, uint32_t n) const { return Find(probes, call, n); }
const ForcedFault* Scenario::FaultFor(Call call, uint32_t n) const { return Find(faults, call, n); }

// Both built at first use: a Scenario made while other files' globals are
// being initialised (a test's, say) must find them already there.

// A T=1 processor card whose historical bytes spell "SBSIM" after the
// category indicator, so an ATR in a log is recognisably ours.
const std::vector<uint8_t>& DefaultProcessorAtr() {
    static const std::vector<uint8_t> atr = {0x3B, 0x86, 0x80, 0x01, 0x80, 0x53,
                                            0x42, 0x53, 0x49, 0x4D, 0xC1};
    return atr;
}
// The four-byte answer a synchronous memory card gives.
const std::vector<uint8_t>& DefaultMemoryAtr() {
    static const std::vector<uint8_t> atr = {0xA2, 0x13, 0x10, 0x91};
    return atr;
}
const std::vector<uint8_t>& DefaultLineGarbage() {
    static const std::vector<uint8_t> garbage = {0xDE, 0xAD, 0x04, 0xBE, 0xEF, 0xCA, 0xFE, 0x00};
    return garbage;
}

std::string CallName(Call call) {
    switch (call) {
    case Call::kInit: return "CT_init";
    case Call::kData: return "CT_data";
    case Call::kClose: return "CT_close";
    }
    return "?";
}

std::string FaultName(FaultKind kind) {
    switch (kind) {
    case FaultKind::kNone: return "none";
    case FaultKind::kAccessViolation: return "access-violation";
    case FaultKind::kIllegalInstruction: return "illegal-instruction";
    case FaultKind::kDivideByZero: return "divide-by-zero";
    }
    return "?";
}

bool ParseScenario(const std::string& text, Scenario& out, std::vector<ScenarioError>& errors) {
    Scenario parsed;
    bool slotSeen[2] = {false, false};
    LineParser parser(parsed, slotSeen);
    bool good = true;
    std::istringstream lines(text);
    std::string line;
    unsigned number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        std::vector<std::string> tokens;
        for (std::string w; words >> w;) tokens.push_back(w);
        if (tokens.empty()) continue;
        const std::string error = parser.Parse(tokens);
        if (!error.empty()) {
            errors.push_back({number, error});
            good = false;
        }
    }
    if (good) out = parsed;
    return good;
}

bool LoadScenarioFile(const std::string& path, Scenario& out, std::vector<ScenarioError>& errors) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        errors.push_back({0, "cannot be read"});
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        errors.push_back({0, "cannot be read"});
        return false;
    }
    return ParseScenario(text.str(), out, errors);
}

std::string ScenarioErrorText(const std::string& path, const ScenarioError& error) {
    return "scenario error: " + path + (error.line ? ":" + std::to_string(error.line) : "") + ": " + error.message;
}

}  // namespace ctsim
