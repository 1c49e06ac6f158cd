// The slotbench_serial_terminal program as another program meets it: its
// first line, its pseudo-terminal, its trace file, its exit codes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "simulator/t1_block.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kWaitMs = 5000;

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "serial_terminal_" + std::to_string(getpid()) + "_" + name;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

struct Child {
    pid_t pid = -1;
    int out = -1;  // its stdout
    int err = -1;  // its stderr
};

Child Spawn(const std::vector<std::string>& args) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return {};
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        std::vector<char*> argv;
        std::string program = SLOTBENCH_SERIAL_TERMINAL;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    child.out = out[0];
    child.err = err[0];
    return child;
}

// Reads until `count` bytes came or the time is up.
Bytes ReadSome(int fd, size_t count, int timeoutMs = kWaitMs) {
    Bytes bytes;
    while (bytes.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        uint8_t buffer[256];
        const ssize_t got = read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (got <= 0) break;
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
}

std::string ReadLine(int fd) {
    std::string line;
    for (;;) {
        const Bytes b = ReadSome(fd, 1);
        if (b.empty() || b[0] == '\n') return line;
        line += static_cast<char>(b[0]);
    }
}

int WaitExit(pid_t pid) {
    for (int i = 0; i < kWaitMs / 10; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -2;
}

// Opens the device the way a CT-API library does: raw, 9600 baud.
int OpenLine(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return fd;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

Bytes Exchange(int fd, const Bytes& block, size_t answerSize) {
    if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) return {};
    return ReadSome(fd, answerSize);
}

const Bytes kResynch = {0x12, 0xC0, 0x00, 0xD2};
const Bytes kResynchAnswer = {0x21, 0xE0, 0x00, 0xC1};

}  // namespace

TEST(SerialTerminalProgram, ScenarioWithErrorsExitsTwoBeforePrintingAnything) {
    const std::string scenario = TempPath("bad.scenario");
    const std::string trace = TempPath("bad.trace");
    std::remove(trace.c_str());
    std::ofstream(scenario) << "slot 1 processor\nline wtx 0\nbogus\n";
    Child child = Spawn({"--scenario", scenario, "--trace", trace});
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(WaitExit(child.pid), 2);
    EXPECT_TRUE(ReadSome(child.out, 1, 100).empty());
    const Bytes err = ReadSome(child.err, 4096, 100);
    const std::string errText(err.begin(), err.end());
    const std::string first = "scenario error: " + scenario + ":2: expected: line wtx MS (1 or more)";
    const std::string second = "scenario error: " + scenario + ":3: unknown keyword 'bogus'";
    EXPECT_EQ(errText, first + "\n" + second + "\n");
    EXPECT_EQ(ReadFile(trace), "# " + first + "\n# " + second + "\n");
    std::remove(scenario.c_str());
    std::remove(trace.c_str());
}

TEST(SerialTerminalProgram, UnknownArgumentExitsTwo) {
    Child child = Spawn({"--baud", "9600"});
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(WaitExit(child.pid), 2);
    EXPECT_TRUE(ReadSome(child.out, 1, 100).empty());
}

TEST(SerialTerminalProgram, ServesSessionsOnItsPseudoTerminalUntilSigterm) {
    const std::string scenario = TempPath("good.scenario");
    const std::string trace = TempPath("good.trace");
    std::remove(trace.c_str());
    std::ofstream(scenario) << "line block-size 8\n";
    Child child = Spawn({"--scenario", scenario, "--trace", trace});
    ASSERT_GT(child.pid, 0);
    const std::string path = ReadLine(child.out);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;

    for (int session = 0; session < 2; ++session) {
        // A library closing the device and opening it again finds it answering.
        const int fd = OpenLine(path);
        ASSERT_GE(fd, 0) << path;
        EXPECT_EQ(Exchange(fd, kResynch, 4), kResynchAnswer) << "session " << session;
        EXPECT_EQ(Exchange(fd, t1::Encode(t1::InformationBlock(0x12, false, false, {0x20, 0x11, 0x00, 0x00})), 6),
                  (Bytes{0x21, 0x00, 0x02, 0x90, 0x00, 0xB3}));
        // 13 bytes of answer in blocks of 8: the first says more is coming.
        const Bytes first =
            Exchange(fd, t1::Encode(t1::InformationBlock(0x52, true, false, {0x20, 0x11, 0x02, 0x01, 0x00})), 12);
        ASSERT_EQ(first.size(), 12u);
        EXPECT_EQ(first[1], 0x60);
        const Bytes second = Exchange(fd, t1::Encode(t1::ReceiveReadyBlock(0x12, false, t1::RError::kNone)), 9);
        ASSERT_EQ(second.size(), 9u);
        EXPECT_EQ(second[1], 0x00);
        // Left at 38400 baud, so that a library's next open changes the settings.
        termios t{};
        tcgetattr(fd, &t);
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
        close(fd);
    }

    kill(child.pid, SIGTERM);
    EXPECT_EQ(WaitExit(child.pid), 0);

    std::istringstream lines(ReadFile(trace));
    std::vector<std::string> all;
    for (std::string l; std::getline(lines, l);) all.push_back(l);
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[0], "# scenario: " + scenario);
    EXPECT_EQ(all[1], "T1 rx 12 C0 00 D2");
    EXPECT_EQ(all[2].rfind("CT_init n=1 t=", 0), 0u);
    EXPECT_NE(all[2].find(" ctn=1 pn=0 result=0"), std::string::npos);
    size_t resynchs = 0, data = 0, sent = 0;
    for (const std::string& l : all) {
        resynchs += l == "T1 tx 21 E0 00 C1";
        data += l.rfind("CT_data n=", 0) == 0;
        sent += l.rfind("T1 tx ", 0) == 0;
    }
    EXPECT_EQ(resynchs, 2u);
    EXPECT_EQ(data, 4u);
    EXPECT_EQ(sent, 8u);
    EXPECT_EQ(all.back(), "T1 tx 25 00 05 49 4D C1 90 01 74");
    std::remove(scenario.c_str());
    std::remove(trace.c_str());
}
