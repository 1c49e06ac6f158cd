#include "simulator/trace.h"

#include <cstdio>

namespace ctsim {

namespace {

std::string Hex2(uint8_t b) {
    static const char kDigits[] = "0123456789ABCDEF";
    return {kDigits[b >> 4], kDigits[b & 0x0F]};
}

std::string Pair(bool present, uint8_t in, uint8_t out) {
    return present ? Hex2(in) + ">" + Hex2(out) : "-";
}

}  // namespace

void FileTrace::Write(const std::string& line) {
    // Binary mode: the same LF line ends from the host build and the DLL.
    std::FILE* f = std::fopen(path_.c_str(), "ab");
    if (!f) return;
    std::fputs(line.c_str(), f);
    std::fputc('\n', f);
    std::fclose(f);
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
    std::string out;
    out.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) out += Hex2(bytes[i]);
    return out;
}

std::string SpacedHexBytes(const std::vector<uint8_t>& bytes) {
    std::string out;
    for (uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += Hex2(b);
    }
    return out;
}

std::string TraceInitLine(uint32_t n, uint64_t t, uint16_t ctn, uint16_t pn, int8_t result) {
    return "CT_init n=" + std::to_string(n) + " t=" + std::to_string(t) + " ctn=" + std::to_string(ctn) +
           " pn=" + std::to_string(pn) + " result=" + std::to_string(result);
}

std::string TraceDataLine(const DataTraceRecord& r) {
    std::string line = "CT_data n=" + std::to_string(r.n) + " t=" + std::to_string(r.t) +
                       " ctn=" + std::to_string(r.ctn);
    line += " dad=" + Pair(r.hasDad, r.dadIn, r.dadOut);
    line += " sad=" + Pair(r.hasSad, r.sadIn, r.sadOut);
    line += " cmd=" + (r.hasCommand ? HexBytes(r.command.data(), r.command.size()) : std::string("-"));
    line += " lenr=" + (r.hasLenr ? std::to_string(r.lenrIn) + ">" + std::to_string(r.lenrOut) : std::string("-"));
    line += " rsp=" + HexBytes(r.response.data(), r.response.size());
    line += " result=" + std::to_string(r.result);
    return line;
}

std::string TraceCloseLine(uint32_t n, uint64_t t, uint16_t ctn, int8_t result) {
    return "CT_close n=" + std::to_string(n) + " t=" + std::to_string(t) + " ctn=" + std::to_string(ctn) +
           " result=" + std::to_string(result);
}

std::string TraceNoteLine(const std::string& text) { return "# " + text; }

}  // namespace ctsim
