// Files of the station CSV writer load in the statistics tool's CSV model, and
// convert: the format is the contract between the two.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "ZelkCsvManager.h"
#include "ZelkPaths.h"
#include "nk_test_util.h"
#include "zelk_csv_test_util.h"

using zcsvtest::AlertCatcher;
using zcsvtest::col;

TEST(ZelkCsvWriterLoad, WrittenFileLoadsAndConverts) {
    nktest::TempDir dir;
    const std::string path = dir.file("units.csv");
    tZelk_CsvItem fixture{}, vbat{}, mode{};
    fixture.title = "Fixture";
    std::snprintf(fixture.valueText, sizeof(fixture.valueText), "F%d", 1);
    vbat.title = "vbat";
    vbat.type = kZCSV_Double;
    vbat.limitLower = 3.0;
    vbat.limitUpper = 4.2;
    mode.title = "mode";
    mode.type = kZCSV_Text;
    std::snprintf(mode.valueText, sizeof(mode.valueText), "%s", "fast");
    for (int u = 0; u < 3; ++u) {
        const std::string serial = "SN" + std::to_string(u);
        iZelk_CsvManager* csv = ZCSV_Create("Station", "1.2", serial.c_str(), 0, "", "09:00:00", "09:01:00", "T7",
                                            800000000.0 + u, 60.5);
        ASSERT_NE(csv, nullptr);
        vbat.value = 3.5 + 0.1 * u;
        ASSERT_EQ(ZCSV_AddItemAttr(csv, &fixture), kZErr_OK);
        ASSERT_EQ(ZCSV_AddItemData(csv, &vbat), kZErr_OK);
        ASSERT_EQ(ZCSV_AddItemData(csv, &mode), kZErr_OK);
        ASSERT_EQ(ZCSV_WriteCsvFile(csv, path.c_str(), false), kZErr_OK);
        ZCSV_Delete(&csv);
    }

    AlertCatcher alerts;
    const auto t = ZelkCsv::initWithCsvFile_filePathName(path.c_str(), false);
    ASSERT_TRUE(t->isValid());
    EXPECT_TRUE(alerts.alerts.empty());
    // The titles on the file's second line anchor the table (its row 0, the name line
    // before it kept only as the first cell); the two limit lines follow.
    EXPECT_STREQ(t->theFirstCellString(), "Station");
    EXPECT_EQ(t->rowIdx_title(), 0);
    EXPECT_STREQ(t->sArray()[0][0], "SerialNumber");
    EXPECT_EQ(t->rowIdx_limit_upper(), 1);
    EXPECT_EQ(t->rowIdx_limit_lower(), 2);
    EXPECT_EQ(t->dataRowStartIdx(), 3);
    EXPECT_EQ(t->dataCnt(), 3);
    EXPECT_EQ(t->colIdx_errCode(), col(*t, "errCode"));
    EXPECT_EQ(t->colIdx_TesterID(), col(*t, "TesterID"));
    EXPECT_EQ(t->colIdx_timeStamp(), col(*t, "timeStamp"));

    const int v = col(*t, "vbat"), f = col(*t, "Fixture"), m = col(*t, "mode");
    ASSERT_GE(v, 0);
    ASSERT_GE(f, 0);
    ASSERT_GE(m, 0);
    const tCsv_columnItemInfo* it = t->getColumnItem();
    EXPECT_TRUE(it[v].isParametric);
    EXPECT_EQ(it[v].limit_upper, 4.2);
    EXPECT_EQ(it[v].limit_lower, 3.0);
    EXPECT_FALSE(it[f].isParametric);  // an attribute is no measurement
    EXPECT_STREQ(it[f].limit_upper_text, "ATTRB");
    EXPECT_FALSE(it[m].isParametric);
    EXPECT_DOUBLE_EQ(t->dataDat()[2][v], 3.7);

    zelk::roots::Folders saved = zelk::roots::get(), folders = saved;
    folders.var = dir.path().string();
    zelk::roots::set(folders);
    EXPECT_EQ(ZCSV_CsvToPlist(path.c_str(), nullptr, false, false, false), kZErr_OK);
    zelk::roots::set(saved);
    EXPECT_TRUE(std::filesystem::exists(dir.file("units.plist")));
}
