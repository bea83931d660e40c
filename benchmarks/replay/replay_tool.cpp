// Stand-in for the download tool in the benchmarks, installed as
// config/usb_dl.exe. Plain C++ so that its own cost stays small next to the
// program under measurement.
//
//   usb_dl.exe -r        prints the listing header and one line per port of
//                        BENCH_PORTS ("11,12" = ports 1,1 and 1,2)
//   usb_dl.exe <other>   writes the lines of BENCH_REPLAY_FILE (each with its
//                        own CRLF), cycling, BENCH_REPLAY_LINES lines in all,
//                        at BENCH_REPLAY_RATE lines per second (0: no pause),
//                        each line with its own write; then waits until killed
//                        when BENCH_REPLAY_HANG is 1, otherwise exits 0.
#include "common/toolcontract.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

long envNumber(const char *name, long fallback)
{
    const char *value = std::getenv(name);
    return value && *value ? std::strtol(value, nullptr, 10) : fallback;
}

bool writeAll(const std::string &text)
{
    const char *data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= std::size_t(n);
    }
    return true;
}

int listPorts()
{
    std::string out = "USB download tool: port listing\r\ndevices found\r\n";
    const char *ports = std::getenv("BENCH_PORTS");
    std::string list = ports ? ports : "11";
    std::stringstream in(list);
    std::string port;
    int dev = 0;
    while (std::getline(in, port, ',')) {
        if (port.size() != 2)
            continue;
        out += "dev " + std::to_string(dev++) + ", vid " + ToolContract::kVendorId + ", pid " +
               ToolContract::kProductId + ", " + ToolContract::kPortLevelField + port[0] + ", " +
               ToolContract::kPortNumField + port[1] + ToolContract::kLineEnd;
    }
    return writeAll(out) ? 0 : 1;
}

std::vector<std::string> readRecording(const char *path)
{
    std::vector<std::string> lines;
    std::ifstream in(path ? path : "", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) // keeps the '\r' of CRLF; '\n' is put back
        lines.push_back(line + '\n');
    return lines;
}

void sleepUntil(const timespec &due)
{
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
    }
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], ToolContract::kOptList) == 0)
            return listPorts();

    const std::vector<std::string> lines = readRecording(std::getenv("BENCH_REPLAY_FILE"));
    if (lines.empty()) {
        std::fprintf(stderr, "usb_dl: no recording in BENCH_REPLAY_FILE\n");
        return 2;
    }
    const long total = envNumber("BENCH_REPLAY_LINES", long(lines.size()));
    const long rate = envNumber("BENCH_REPLAY_RATE", 0);

    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long k = 0; k < total; ++k) {
        if (rate > 0) {
            const long long dueNs = static_cast<long long>(start.tv_nsec) + k * 1000000000LL / rate;
            timespec due{start.tv_sec + time_t(dueNs / 1000000000LL), long(dueNs % 1000000000LL)};
            sleepUntil(due);
        }
        if (!writeAll(lines[std::size_t(k) % lines.size()]))
            return 1; // nobody reads any more
    }
    if (envNumber("BENCH_REPLAY_HANG", 0) == 1)
        for (;;)
            ::pause();
    return 0;
}
