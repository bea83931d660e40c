#pragma once

// Check harness of the Qt-free Windows tests: PASS or FAIL per case with the failed
// checks, then "RESULT <passed> <failed>" for test-windows.sh to sum.

#include <cstdio>
#include <string>
#include <vector>

namespace wintest {

inline std::vector<std::string> failures;

inline void check(bool ok, const char *expr, int line, const std::string &detail = {})
{
    if (!ok)
        failures.push_back("line " + std::to_string(line) + ": " + expr + " " + detail);
}

inline int run(const char *program, const std::vector<std::pair<const char *, void (*)()>> &cases)
{
    int failed = 0;
    for (const auto &c : cases) {
        failures.clear();
        c.second();
        failed += failures.empty() ? 0 : 1;
        std::printf("%s  %s::%s\n", failures.empty() ? "PASS" : "FAIL", program, c.first);
        for (const std::string &f : failures)
            std::printf("        %s\n", f.c_str());
    }
    std::printf("RESULT %d %d\n", int(cases.size()) - failed, failed);
    return failed == 0 ? 0 : 1;
}

} // namespace wintest

#define WCHECK(expr) ::wintest::check(static_cast<bool>(expr), #expr, __LINE__)
#define WCHECK_MSG(expr, detail) ::wintest::check(static_cast<bool>(expr), #expr, __LINE__, detail)
