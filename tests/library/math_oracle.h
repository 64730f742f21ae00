// Runs tests/data/math_oracle.py (numpy/scipy) and returns its figures.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "nk_test_util.h"

namespace nktest {

template <class T>
std::string joinNumbers(const std::vector<T>& v) {
    std::ostringstream s;
    s.precision(17);
    for (const T& x : v) s << static_cast<double>(x) << ' ';
    return s.str();
}

// Arrays go one per line through a temporary file; the reply is one line of numbers.
inline std::vector<double> oracle(const std::string& args, const std::vector<std::vector<double>>& arrays) {
    TempDir dir;
    std::string text;
    for (const auto& a : arrays) text += joinNumbers(a) + "\n";
    writeFile(dir.file("in.txt"), text);
    int status = -1;
    const std::string reply = runCommand(std::string(NK_PYTHON) + " " + NK_TEST_DATA_DIR + "/math_oracle.py " +
                                             args + " < " + dir.file("in.txt"),
                                         &status);
    std::vector<double> figures;
    if (status != 0) return figures;
    std::istringstream in(reply);
    std::string tok;
    while (in >> tok) figures.push_back(std::strtod(tok.c_str(), nullptr));
    return figures;
}

}  // namespace nktest

#define NK_NEED_PYTHON() \
    do { if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 with numpy/scipy is not installed"; } while (0)
