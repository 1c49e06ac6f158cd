// File operations on the host: the runtime library's streams on real files,
// with the faults a test asks for injected before the real call.
#include <cstdio>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "platform/memory/fake_system.h"
#include "platform/one_copy_per_folder.h"

namespace {

// Which file each open stream belongs to, so faults can name files.
std::map<std::FILE*, std::string>& StreamNames() {
    static std::map<std::FILE*, std::string> names;
    return names;
}

std::string NameOf(std::FILE* stream) {
    auto it = StreamNames().find(stream);
    return it == StreamNames().end() ? std::string() : it->second;
}

bool Faulted(fake::FileOp op, const std::string& name) {
    fake::System& s = fake::State();
    ++s.fileOpCalls[op];
    for (fake::FileFault& fault : s.fileFaults) {
        if (fault.op != op || (!fault.name.empty() && fault.name != name)) continue;
        if (fault.skip > 0) {
            --fault.skip;
            continue;
        }
        if (fault.times > 0) {
            --fault.times;
            return true;
        }
    }
    return false;
}

}  // namespace

namespace platform {

std::FILE* OpenStream(const char* name, const char* mode) {
    if (Faulted(fake::FileOp::Open, name)) return nullptr;
    std::FILE* stream = std::fopen(name, mode);
    if (stream != nullptr) StreamNames()[stream] = name;
    return stream;
}

size_t ReadStream(void* buffer, size_t size, std::FILE* stream) {
    if (Faulted(fake::FileOp::Read, NameOf(stream))) return 0;
    return std::fread(buffer, 1, size, stream);
}

size_t WriteStream(const void* data, size_t size, std::FILE* stream) {
    const std::string name = NameOf(stream);
    if (Faulted(fake::FileOp::Write, name)) return 0;
    auto room = fake::State().diskRoom.find(name);
    if (room != fake::State().diskRoom.end()) {
        // A full disk takes what fits and refuses the rest.
        std::fflush(stream);
        const long used = platform::StreamLength(stream);
        const long left = used < 0 ? 0 : room->second - used;
        const size_t fits = left <= 0 ? 0 : std::min(size, static_cast<size_t>(left));
        return std::fwrite(data, 1, fits, stream);
    }
    return std::fwrite(data, 1, size, stream);
}

bool FlushStream(std::FILE* stream) {
    if (Faulted(fake::FileOp::Flush, NameOf(stream))) return false;
    return std::fflush(stream) == 0;
}

bool CloseStream(std::FILE* stream) {
    const bool faulted = Faulted(fake::FileOp::Close, NameOf(stream));
    StreamNames().erase(stream);
    const bool closed = std::fclose(stream) == 0;  // a stream is released whatever happens
    return closed && !faulted;
}

bool CopyFileReplacing(const char* from, const char* to) {
    if (Faulted(fake::FileOp::Copy, to)) return false;
    std::ifstream in(from, std::ios::binary);
    if (!in) return false;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

bool RemoveFile(const char* name) {
    if (Faulted(fake::FileOp::Remove, name)) return false;
    return std::remove(name) == 0;
}

// The host tests run one copy in their folder: there is no claim to give up.
void ReleaseCurrentFolder() {}

}  // namespace platform
