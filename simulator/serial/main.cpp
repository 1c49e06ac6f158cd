// slotbench_serial_terminal: the simulated terminal on a pseudo-terminal, in
// T=1 blocks, for a CT-API library that drives serial terminals.
//
//   slotbench_serial_terminal [--scenario FILE] [--trace FILE]
//
// Prints the slave's path on its first line, then serves until SIGTERM or
// SIGINT (exit 0). A scenario with errors: each goes to stderr and to the
// trace, and the program exits 2 before printing anything.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "simulator/scenario.h"
#include "simulator/serial_front.h"
#include "simulator/trace.h"

namespace {

constexpr int kExitUsage = 2;

class SteadyClock : public ctsim::Clock {
public:
    uint64_t NowMs() override {
        using namespace std::chrono;
        return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
    void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

// The master side of the pseudo-terminal; the slave is what the library opens.
class PtyLine : public ctsim::ByteLine {
public:
    PtyLine(int master, int slave) : master_(master), slave_(slave) {}

    bool Read(std::vector<uint8_t>& bytes) override {
        uint8_t buffer[512];
        for (;;) {
            const ssize_t got = read(master_, buffer, sizeof buffer);
            if (got > 0) {
                bytes.insert(bytes.end(), buffer, buffer + got);
                return true;
            }
            if (got < 0 && errno == EINTR) continue;
            return false;
        }
    }

    void Write(const std::vector<uint8_t>& bytes) override {
        UnsettleLine();
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t put = write(master_, bytes.data() + done, bytes.size() - done);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return;
            done += static_cast<size_t>(put);
        }
    }

private:
    // The library checks at open that its line settings changed something,
    // and a pseudo-terminal cannot keep the even parity it asks for: left
    // as the last session set it, the line makes the next open fail. Put
    // back the pseudo-terminal's own speed, which the library sets only at
    // open and never reads back. Done just before writing, when the library
    // is waiting for this answer; once per session, as it stays put.
    void UnsettleLine() {
        termios settings{};
        if (tcgetattr(slave_, &settings) != 0) return;
        if (cfgetospeed(&settings) == B38400 && cfgetispeed(&settings) == B38400) return;
        cfsetispeed(&settings, B38400);
        cfsetospeed(&settings, B38400);
        tcsetattr(slave_, TCSANOW, &settings);
    }

    int master_;
    int slave_;
};

struct Options {
    std::string scenarioPath;
    std::string tracePath;
};

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--scenario" || arg == "--trace") && i + 1 < argc) {
            (arg == "--scenario" ? options.scenarioPath : options.tracePath) = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

void OnStopSignal(int) { _exit(0); }

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s [--scenario FILE] [--trace FILE]\n", argv[0]);
        return kExitUsage;
    }
    std::unique_ptr<ctsim::TraceSink> trace;
    if (!options.tracePath.empty()) trace = std::make_unique<ctsim::FileTrace>(options.tracePath);

    ctsim::Scenario scenario;
    std::string scenarioNote = "scenario: default";
    if (!options.scenarioPath.empty()) {
        std::vector<ctsim::ScenarioError> errors;
        if (!ctsim::LoadScenarioFile(options.scenarioPath, scenario, errors)) {
            for (const ctsim::ScenarioError& e : errors) {
                const std::string text = ctsim::ScenarioErrorText(options.scenarioPath, e);
                std::fprintf(stderr, "%s\n", text.c_str());
                if (trace) trace->Write(ctsim::TraceNoteLine(text));
            }
            return kExitUsage;
        }
        scenarioNote = "scenario: " + options.scenarioPath;
    }

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pseudo-terminal");
        return 1;
    }
    const char* name = ptsname(master);
    // Held open for the program's whole life: the library closing and
    // reopening the device then never hangs up the master.
    const int slave = name ? open(name, O_RDWR | O_NOCTTY) : -1;
    if (slave < 0) {
        std::perror("pseudo-terminal slave");
        return 1;
    }
    termios settings{};
    tcgetattr(slave, &settings);
    cfmakeraw(&settings);
    cfsetispeed(&settings, B38400);
    cfsetospeed(&settings, B38400);
    tcsetattr(slave, TCSANOW, &settings);

    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    SteadyClock clock;
    PtyLine line(master, slave);
    ctsim::SerialFront front(scenario, clock, line, trace.get());
    front.Note(scenarioNote);

    std::printf("%s\n", name);
    std::fflush(stdout);
    front.Serve();
    return 0;
}
