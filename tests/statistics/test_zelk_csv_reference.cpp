// The fused, single-pass load against a plain reading of its rules, one step
// after the other, on generated texts and tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "ZelkCsvText.h"
#include "zelk_csv_test_util.h"

using namespace zcsvtest;

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> cellsOf(const std::string& line) {
    std::vector<std::string> cells;
    size_t p = 0;
    while (true) {
        const size_t c = line.find(',', p);
        cells.push_back(line.substr(p, c == std::string::npos ? std::string::npos : c - p));
        if (c == std::string::npos) return cells;
        p = c + 1;
    }
}

std::string join(const std::vector<std::string>& cells) {
    std::string s;
    for (size_t i = 0; i < cells.size(); ++i) s += (i ? "," : "") + cells[i];
    return s;
}

std::string firstFilled(const std::string& line) { return lower(line.substr(line.find_first_not_of(',') == std::string::npos ? line.size() : line.find_first_not_of(','))); }

// Each rule over the whole text in turn.
std::string referenceNormalise(std::string t, uint64_t& fixes) {
    if (t.empty() || t.back() != '\n') t += '\n';
    for (char& c : t)
        if (c == '\r') c = '\n', ++fixes;
    for (size_t p; (p = t.find("\n\n")) != std::string::npos;) t.erase(p, 1), ++fixes;
    std::vector<std::string> lines;
    for (size_t p = 0; p < t.size();) {
        const size_t e = t.find('\n', p);
        lines.push_back(t.substr(p, e - p));
        p = e + 1;
    }
    auto cellsTo = [&](const std::vector<std::string>& words) {
        for (auto& l : lines) {
            auto cells = cellsOf(l);
            for (size_t i = 1; i < cells.size(); ++i)
                if (std::find(words.begin(), words.end(), lower(cells[i])) != words.end()) cells[i] = "NA", ++fixes;
            l = join(cells);
        }
    };
    auto dropLines = [&](const std::string& marker, uint64_t cost) {
        std::vector<std::string> kept;
        for (auto& l : lines) {
            if (firstFilled(l).rfind(marker, 0) == 0)
                fixes += cost;
            else
                kept.push_back(l);
        }
        lines = kept;
    };
    auto cutAll = [&](const std::string& from, const std::string& to) {
        for (auto& l : lines)
            for (size_t p = 0; (p = lower(l).find(from, p)) != std::string::npos; p += to.size()) {
                std::string orig = l.substr(p, from.size());
                std::string repl;
                if (from == "measurement unit ----->") repl = orig.substr(12, 4) + orig.substr(17);
                else repl = orig.substr(0, 11) + orig.substr(12);
                l.replace(p, from.size(), repl);
                ++fixes;
            }
    };
    cellsTo({"nan"});
    cellsTo({"n/a"});
    dropLines("hubr priority ----->", 256);
    cutAll("measurement unit ----->", "unit----->");
    dropLines("cof ", 1);
    dropLines("display name ----->", 1);
    cutAll("upper limit ----->", "upper limit----->");
    cutAll("lower limit ----->", "lower limit----->");
    cellsTo({"inf"});
    std::string out;
    for (auto& l : lines) {
        if (!l.empty() && l.back() == ',') l.pop_back();
        out += l + "\n";
    }
    return out;
}

TEST(ZelkCsvReference, NormalisationEqualsTheRulesOneByOne) {
    std::mt19937 rng(5);
    const std::vector<std::string> vocab = {"1.5", "nan", "NaN", "N/A", "inf", "INF", "Info", "Nanjing", "", "COF x",
                                            "HUBR Priority ----->", "Display Name ----->", "Measurement Unit ----->",
                                            "Upper Limit ----->", "lower limit ----->", "x", "-2"};
    const std::vector<std::string> ends = {"\n", "\r\n", "\r", "\n\n", ",\n", ",\r\n"};
    for (int round = 0; round < 400; ++round) {
        std::string text;
        const int lines = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < lines; ++i) {
            const int cells = 1 + static_cast<int>(rng() % 5);
            for (int c = 0; c < cells; ++c) text += (c ? "," : "") + vocab[rng() % vocab.size()];
            if (i + 1 < lines || rng() % 2) text += ends[rng() % ends.size()];
        }
        SCOPED_TRACE(text);
        uint64_t refFixes = 0, fixes = 0;
        const std::string ref = referenceNormalise(text, refFixes);
        std::string buf = text;
        const size_t n = text.size();
        buf.resize(n + 2);
        std::vector<char> lost, partLost;
        const size_t len = zcsv::normaliseText(buf.data(), n, fixes, &lost);
        ASSERT_EQ(std::string(buf.data(), len), ref);
        ASSERT_EQ(fixes, refFixes);
        // The same text cut into parts normalised side by side, with the lines found on the way.
        std::string parted = text;
        parted.resize(n + 2);
        uint64_t partFixes = 0;
        zcsv::LineIndex index;
        const size_t partLen = zcsv::normaliseText(parted.data(), n, partFixes, &partLost, &index, 3);
        ASSERT_EQ(std::string(parted.data(), partLen), ref);
        ASSERT_EQ(partFixes, refFixes);
        ASSERT_EQ(partLost, lost);  // one flag per line, in order, whichever part had the line
        ASSERT_EQ(lost.size(), index.start.size());
        size_t at = 0;
        for (size_t i = 0; i < index.start.size(); ++i) {
            ASSERT_EQ(index.start[i], at);
            const size_t e = ref.find('\n', at);
            ASSERT_EQ(index.fields[i], 1 + std::count(ref.begin() + static_cast<long>(at), ref.begin() + static_cast<long>(e), ','));
            at = e + 1;
        }
        ASSERT_EQ(at, ref.size());
    }
}

// Repeats, time order, final views and categories by their plain definitions.
TEST(ZelkCsvReference, TableOperationsEqualTheirPlainDefinitions) {
    std::mt19937 rng(9);
    const std::vector<std::string> serials = {"S1", "s1", "S2", "S3", "s3"}, testers = {"T1", "t1", "T2"},
                                    configs = {"A", "B", "ALL", ""}, stamps = {"1", "2", "3", "x", "2.0"};
    nktest::TempDir dir;
    for (int round = 0; round < 60; ++round) {
        struct Row {
            std::string sn, tester, config, stamp;
            int id;
            double t;
        };
        std::vector<Row> rows;
        std::string text = "SerialNumber,TesterID,config,timeStamp,id\nUpper Limit----->,,,,1\n";
        const int n = 2 + static_cast<int>(rng() % 14);
        for (int i = 0; i < n; ++i) {
            Row r{serials[rng() % serials.size()], testers[rng() % testers.size()], configs[rng() % configs.size()],
                  stamps[rng() % stamps.size()], i, 0};
            r.t = r.stamp == "x" ? kZelk_noValue : std::stod(r.stamp);
            rows.push_back(r);
            text += r.sn + "," + r.tester + "," + r.config + "," + r.stamp + "," + std::to_string(i) + "\n";
        }
        SCOPED_TRACE(text);
        // Repeats: each row removes every later row equal to it.
        for (size_t j = 0; j < rows.size(); ++j)
            for (size_t k = j + 1; k < rows.size();) {
                const bool same = rows[j].t != kZelk_noValue && rows[j].t == rows[k].t &&
                                  lower(rows[j].sn) == lower(rows[k].sn) && lower(rows[j].tester) == lower(rows[k].tester);
                if (same)
                    rows.erase(rows.begin() + static_cast<long>(k));
                else
                    ++k;
            }
        // Time order by insertion, equal stamps keeping their order.
        for (size_t i = 1; i < rows.size(); ++i)
            for (size_t k = i; k > 0 && rows[k].t < rows[k - 1].t; --k) std::swap(rows[k], rows[k - 1]);
        std::vector<Row> fin;
        for (size_t i = 0; i < rows.size(); ++i) {
            bool later = false;
            for (size_t k = i + 1; k < rows.size(); ++k) later = later || rows[k].sn == rows[i].sn;
            if (!later) fin.push_back(rows[i]);
        }
        std::vector<std::string> names;
        for (const Row& r : rows)
            if (std::find(names.begin(), names.end(), r.config) == names.end()) names.push_back(r.config);

        const auto t = loadText(dir, "r.csv", text);
        ASSERT_TRUE(t->isValid());
        ASSERT_EQ(t->dataCnt(), static_cast<long>(rows.size()));
        ASSERT_EQ(t->config_count(), static_cast<int>(names.size()) + 1);
        const tCsv_categoryDataInfo* cfg = t->getConfigInfo();
        std::vector<int> all, allFinal;
        for (size_t k = 0; k < names.size(); ++k) {
            EXPECT_EQ(cfg[k + 1].name, names[k]);
            std::vector<int> want, wantFinal, got, gotFinal;
            for (const Row& r : rows)
                if (r.config == names[k]) want.push_back(r.id);
            for (const Row& r : fin)
                if (r.config == names[k]) wantFinal.push_back(r.id);
            for (size_t i = 0; i < cfg[k + 1].data_count; ++i) got.push_back(static_cast<int>(cfg[k + 1].datArr[i][4]));
            for (size_t i = 0; i < cfg[k + 1].data_count_final; ++i)
                gotFinal.push_back(static_cast<int>(cfg[k + 1].datArr_final[i][4]));
            EXPECT_EQ(got, want) << names[k];
            EXPECT_EQ(gotFinal, wantFinal) << names[k];
            all.insert(all.end(), want.begin(), want.end());
            allFinal.insert(allFinal.end(), wantFinal.begin(), wantFinal.end());
        }
        std::vector<int> got0, gotFinal0;
        for (size_t i = 0; i < cfg[0].data_count; ++i) got0.push_back(static_cast<int>(cfg[0].datArr[i][4]));
        for (size_t i = 0; i < cfg[0].data_count_final; ++i) gotFinal0.push_back(static_cast<int>(cfg[0].datArr_final[i][4]));
        EXPECT_EQ(got0, all);
        EXPECT_EQ(gotFinal0, allFinal);
    }
}

}  // namespace

// A table of more than 20 000 tests is cut, scanned, hashed and sorted into categories
// by several threads at once: the same rules must hold for every row, whichever
// thread had it.
TEST(ZelkCsvReference, LargeTableInPartsEqualsThePlainDefinitions) {
    std::mt19937_64 rng(20);
    const char* const testers[] = {"T1", "t1", "T2", "T3"};
    const char* const configs[] = {"A", "B", "C", "ALL", ""};
    struct Row {
        std::string sn, tester, config, v;
        double t;
        long id;
    };
    std::vector<Row> rows;
    std::string text = "Log\nSerialNumber,TesterID,config,timeStamp,id,V,P,Q\nUpper Limit----->,,,,,1,1,1\n";
    const long kRows = 26000;
    char buf[64];
    for (long i = 0; i < kRows; ++i) {
        Row r;
        if (i % 40 == 39) {
            // A repeat of an earlier test: serial and tester in another letter case.
            r = rows[rng() % rows.size()];
            r.sn = lower(r.sn);
            r.tester = lower(r.tester);
        } else {
            r.sn = "SN" + std::to_string(rng() % 9000);
            r.tester = testers[rng() % 4];
            const long stamp = static_cast<long>(rng() % 30000);
            r.t = stamp % 97 == 0 ? kZelk_noValue : static_cast<double>(stamp);
        }
        r.config = configs[rng() % 5];
        std::snprintf(buf, sizeof buf, "%s%lu.%0*lu", rng() % 2 ? "-" : "", static_cast<unsigned long>(rng() % 100000),
                      static_cast<int>(rng() % 12), static_cast<unsigned long>(rng() % 1000000000000ull));
        r.v = buf;
        r.id = i;
        rows.push_back(r);
        const std::string stamp = r.t == kZelk_noValue ? (i % 2 ? "x" : "N/A") : std::to_string(static_cast<long>(r.t));
        // P has one text cell, Q one number, both near the end (the last thread's rows).
        const std::string p = i == kRows - 100 ? "oops" : std::to_string(i % 10);
        const std::string q = i == kRows - 50 ? "2.5" : "NA";
        text += r.sn + "," + r.tester + "," + r.config + "," + stamp + "," + std::to_string(i) + "," + r.v + "," + p +
                "," + q + (i % 1000 == 0 ? "\r\n" : i % 777 == 0 ? "\n\n" : "\n");
    }
    // Repeats: the first of each serial, stamp and tester (letter case aside) stays.
    std::vector<Row> kept;
    std::unordered_set<std::string> seen;
    for (const Row& r : rows)
        if (r.t == kZelk_noValue || seen.insert(lower(r.sn) + "|" + std::to_string(r.t) + "|" + lower(r.tester)).second)
            kept.push_back(r);
    nktest::TempDir dir;
    const auto t = loadText(dir, "large.csv", text);
    ASSERT_TRUE(t->isValid());
    ASSERT_EQ(t->dataCnt(), static_cast<long>(kept.size()));
    ASSERT_GE(kept.size(), 20000u);
    const int id = col(*t, "id"), v = col(*t, "V");
    size_t mismatches = 0;
    for (size_t i = 0; i < kept.size() && mismatches < 5; ++i) {
        const double want = std::strtod(kept[i].v.c_str(), nullptr), got = t->dataDat()[i][v];
        if (t->dataDat()[i][id] != static_cast<double>(kept[i].id) || std::strcmp(t->dataStr()[i][v], kept[i].v.c_str()) ||
            std::memcmp(&want, &got, sizeof want)) {
            ADD_FAILURE() << "row " << i << " (" << kept[i].id << ", " << kept[i].v << ") reads " << t->dataDat()[i][id]
                          << ", " << got;
            ++mismatches;
        }
    }
    EXPECT_TRUE(t->getColumnItem()[v].isParametric);
    EXPECT_FALSE(t->getColumnItem()[col(*t, "P")].isParametric);
    EXPECT_TRUE(t->getColumnItem()[col(*t, "Q")].isParametric);

    // Time order, equal stamps in file order; the final view is the last test of each serial.
    std::stable_sort(kept.begin(), kept.end(), [](const Row& a, const Row& b) { return a.t < b.t; });
    std::vector<char> final(kept.size(), 0);
    seen.clear();
    for (size_t i = kept.size(); i-- > 0;) final[i] = seen.insert(kept[i].sn).second;
    std::vector<std::string> names;
    for (const Row& r : kept)
        if (std::find(names.begin(), names.end(), r.config) == names.end()) names.push_back(r.config);
    ASSERT_EQ(t->config_count(), static_cast<int>(names.size()) + 1);
    const tCsv_categoryDataInfo* cfg = t->getConfigInfo();
    std::vector<long> all, allFinal;
    for (size_t k = 0; k < names.size(); ++k) {
        std::vector<long> want, wantFinal, got, gotFinal;
        for (size_t i = 0; i < kept.size(); ++i)
            if (kept[i].config == names[k]) {
                want.push_back(kept[i].id);
                if (final[i]) wantFinal.push_back(kept[i].id);
            }
        for (size_t i = 0; i < cfg[k + 1].data_count; ++i) got.push_back(static_cast<long>(cfg[k + 1].datArr[i][id]));
        for (size_t i = 0; i < cfg[k + 1].data_count_final; ++i)
            gotFinal.push_back(static_cast<long>(cfg[k + 1].datArr_final[i][id]));
        EXPECT_EQ(cfg[k + 1].name, names[k]);
        EXPECT_TRUE(got == want) << names[k];
        EXPECT_TRUE(gotFinal == wantFinal) << names[k];
        all.insert(all.end(), want.begin(), want.end());
        allFinal.insert(allFinal.end(), wantFinal.begin(), wantFinal.end());
    }
    std::vector<long> got0, gotFinal0;
    for (size_t i = 0; i < cfg[0].data_count; ++i) got0.push_back(static_cast<long>(cfg[0].datArr[i][id]));
    for (size_t i = 0; i < cfg[0].data_count_final; ++i) gotFinal0.push_back(static_cast<long>(cfg[0].datArr_final[i][id]));
    EXPECT_TRUE(got0 == all);
    EXPECT_TRUE(gotFinal0 == allFinal);
    // The tester pass ran beside the configuration pass over the same rows.
    EXPECT_EQ(t->getTesterInfo()[0].data_count, kept.size());
}
