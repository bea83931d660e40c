#pragma once

// A minimal check harness for the Windows test programs, which are built with
// mingw-w64 without Qt and run under wine. Each case prints PASS or FAIL with
// the failed checks; the program ends with "RESULT <passed> <failed>" for the
// script that sums them, and exits non-zero when a case failed.

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace wintest {

struct Case
{
    const char *name;
    std::function<void()> body;
};

inline std::vector<std::string> &failures()
{
    static std::vector<std::string> list;
    return list;
}

inline void check(bool ok, const char *expr, const char *file, int line, const std::string &detail = {})
{
    if (ok)
        return;
    std::string text = std::string(file) + ":" + std::to_string(line) + ": " + expr;
    if (!detail.empty())
        text += " (" + detail + ")";
    failures().push_back(text);
}

inline void info(const std::string &text)
{
    std::printf("INFO  %s\n", text.c_str());
    std::fflush(stdout);
}

inline int run(const char *program, const std::vector<Case> &cases)
{
    int passed = 0;
    int failed = 0;
    for (const Case &c : cases) {
        failures().clear();
        c.body();
        if (failures().empty()) {
            ++passed;
            std::printf("PASS  %s::%s\n", program, c.name);
        } else {
            ++failed;
            std::printf("FAIL  %s::%s\n", program, c.name);
            for (const std::string &f : failures())
                std::printf("        %s\n", f.c_str());
        }
        std::fflush(stdout);
    }
    std::printf("RESULT %d %d\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

} // namespace wintest

#define WCHECK(expr) ::wintest::check(static_cast<bool>(expr), #expr, __FILE__, __LINE__)
#define WCHECK_MSG(expr, detail) ::wintest::check(static_cast<bool>(expr), #expr, __FILE__, __LINE__, detail)
