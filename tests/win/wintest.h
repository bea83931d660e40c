#pragma once

// A minimal check harness for the Windows test programs built with mingw-w64
// without Qt and run under wine: each case prints PASS or FAIL with its failed
// checks, then "RESULT <passed> <failed>" for the script that sums them.

#include <cstdio>
#include <string>
#include <vector>

namespace wintest {

inline std::vector<std::string> &failures()
{
    static std::vector<std::string> list;
    return list;
}

inline void check(bool ok, const char *expr, int line, const std::string &detail = {})
{
    if (!ok)
        failures().push_back("line " + std::to_string(line) + ": " + expr +
                             (detail.empty() ? "" : " " + detail));
}

struct Case
{
    const char *name;
    void (*body)();
};

inline int run(const char *program, const std::vector<Case> &cases)
{
    int failed = 0;
    for (const Case &c : cases) {
        failures().clear();
        c.body();
        failed += failures().empty() ? 0 : 1;
        std::printf("%s  %s::%s\n", failures().empty() ? "PASS" : "FAIL", program, c.name);
        for (const std::string &f : failures())
            std::printf("        %s\n", f.c_str());
    }
    std::printf("RESULT %d %d\n", int(cases.size()) - failed, failed);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}

} // namespace wintest

#define WCHECK(expr) ::wintest::check(static_cast<bool>(expr), #expr, __LINE__)
#define WCHECK_MSG(expr, detail) ::wintest::check(static_cast<bool>(expr), #expr, __LINE__, detail)
