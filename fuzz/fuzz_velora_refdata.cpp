// Feeds arbitrary file contents to the transmittance reference-data loaders.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "nk_velora_utils.h"

namespace {
std::string g_dir;

void writeAll(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    char tmpl[] = "/tmp/nkfuzz-refdata-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    g_dir = tmpl;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string csv = g_dir + "/in.csv", bin = g_dir + "/in.bin";
    writeAll(csv, data, size);
    writeAll(bin, data, size);

    std::vector<std::vector<double>> t;
    nkFom_cg_loadTfromCsv(nullptr, csv, t);
    for (const auto& row : t)
        if (row.size() != t[0].size()) __builtin_trap();
    std::vector<double> white;
    nkFom_cg_loadWhiteCGCorrectionFactorfromCsv(nullptr, csv, white);
    std::vector<std::vector<float>> rows;
    nkFom_cg_loadWeightMap(nullptr, csv, rows);
    for (const auto& row : rows)
        if (row.size() != rows[0].size()) __builtin_trap();
    std::vector<float> flat;
    nkFom_cg_loadAfactor(nullptr, csv, flat);
    std::vector<t_nkMathLineFit> kb;
    nkFom_cg_loadKbResult(nullptr, csv, kb);
    std::vector<std::vector<float>> table;
    int tester = -1;
    std::string ls, s0, s1;
    nkFom_cg_loadAfactors(nullptr, csv, table, tester, ls, s0, s1, 8);
    if (table.size() != 8 || tester < -1 || tester >= 8) __builtin_trap();
    for (const auto& row : table)
        if (row.size() != 2) __builtin_trap();
    nkFom_cg_loadUserDatabase(nullptr, csv, rows);

    nkFom_cg_loadUserDatabase(nullptr, bin, rows);
    size_t values = 0;
    for (const auto& row : rows) values += row.size();
    if (!rows.empty() && 6 + 4 * values != size) __builtin_trap();
    return 0;
}
