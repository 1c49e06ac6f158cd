// The simulator's trace: one line per CT-API call, in a fixed key=value form
// that the tests and the end-to-end suite parse (format in README.md).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ctsim {

class TraceSink {
public:
    virtual ~TraceSink() = default;
    // `line` carries no line end.
    virtual void Write(const std::string& line) = 0;
};

// Appends each line to a file, opening and closing it every time so that the
// trace is complete even when the program under test is killed mid-run.
class FileTrace : public TraceSink {
public:
    explicit FileTrace(std::string path) : path_(std::move(path)) {}
    void Write(const std::string& line) override;

private:
    std::string path_;
};

// What one CT_data call saw and gave back. The flags tell a null pointer
// from a value, since the tool's handling of both is under test.
struct DataTraceRecord {
    uint32_t n = 0;
    uint64_t t = 0;
    uint16_t ctn = 0;
    bool hasDad = false, hasSad = false, hasLenr = false, hasCommand = false;
    uint8_t dadIn = 0, dadOut = 0, sadIn = 0, sadOut = 0;
    std::vector<uint8_t> command;
    uint16_t lenrIn = 0, lenrOut = 0;
    std::vector<uint8_t> response;
    int8_t result = 0;
};

std::string HexBytes(const uint8_t* bytes, size_t count);
// The same, a space between bytes ("12 C0 00 D2"), as the serial front
// traces its blocks.
std::string SpacedHexBytes(const std::vector<uint8_t>& bytes);
std::string TraceInitLine(uint32_t n, uint64_t t, uint16_t ctn, uint16_t pn, int8_t result);
std::string TraceDataLine(const DataTraceRecord& r);
std::string TraceCloseLine(uint32_t n, uint64_t t, uint16_t ctn, int8_t result);
std::string TraceNoteLine(const std::string& text);

}  // namespace ctsim
