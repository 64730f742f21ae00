// The statistics tool's model of one station test-log (or GR&R criteria) CSV
// file: read whole, normalised, laid out normal or transposed, marker rows and
// column items found, repeated tests removed and the data rows split into
// configuration and tester categories, each with a view of every serial
// number's last test. Every text points into the object's own copy of the file;
// callers never free them nor keep them past the object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZelkTypeDef.h"

// A text row: cols cell texts. A value row: cols doubles.
using tCsv_strRow = const char**;
using tCsv_datRow = double*;


struct tCsv_columnItemInfo {
    const char* title;
    bool isParametric;
    double limit_upper;
    double limit_lower;
    double ers_upper;
    double ers_lower;
    double grr_stdev;
    double grr_limit;
    const char* limit_upper_text;
    const char* limit_lower_text;
    const char* ers_upper_text;
    const char* ers_lower_text;
    const char* unit_text;
    const char* grr_stdev_text;
    const char* grr_limit_text;
};

struct tCsv_categoryDataInfo {
    const char* name;
    size_t data_count;
    tCsv_strRow* strArr;
    tCsv_datRow* datArr;
    size_t data_count_final;
    tCsv_strRow* strArr_final;
    tCsv_datRow* datArr_final;
};

class ZelkCsv {
public:
    // A table of the file, loaded or not (callers test isValid). With
    // writeCorrected, a file that needed many fixes gets a "_processed.csv" copy.
    static std::shared_ptr<ZelkCsv> initWithCsvFile_filePathName(const char* path, bool writeCorrected);
    // Checks dropped paths and merges several into one file beside the first,
    // then loads it; none on a refused drop or a failed merge.
    static std::shared_ptr<ZelkCsv> openCsvFile(const char* const* paths, size_t count);
    // Writes the merge of `count` (2..128) files to `outPath`. 0, 17, 29, 10, 9,
    // 87 (no input loaded), 31 (output not creatable) or 32 (write failed).
    static int mergeCsv_fileCount(int count, const char* const* paths, bool commonOnly, const char* outPath);

    ZelkCsv();
    ~ZelkCsv();
    ZelkCsv(const ZelkCsv&) = delete;
    ZelkCsv& operator=(const ZelkCsv&) = delete;

    // 0 or a framework code; a failure empties the table and raises one alert.
    int load_csvFile(const char* path, bool writeCorrected);
    void resetParams();

    bool isValid() const { return _isValid; }
    int csvType() const { return _csvType; }
    const char* theFirstCellString() const { return static_cast<const char*>(_fileStrBuff.data()); }
    int columnItem_count() const { return _cols; }
    const tCsv_columnItemInfo* getColumnItem() const { return _cols > 0 ? _columnItem.data() : nullptr; }
    int config_count() const { return _config.count; }
    const tCsv_categoryDataInfo* getConfigInfo() const { return _config.count > 0 ? _config.info.data() : nullptr; }
    int tester_count() const { return _tester.count; }
    const tCsv_categoryDataInfo* getTesterInfo() const { return _tester.count > 0 ? _tester.info.data() : nullptr; }

    // The table as loaded (read-only once the load is done).
    const char* filePathName() const { return _filePathName.c_str(); }
    int rows() const { return _rows; }
    int cols() const { return _cols; }
    tCsv_strRow* sArray() const { return _rows > 0 ? const_cast<tCsv_strRow*>(_sRows.data()) : nullptr; }
    tCsv_datRow* dArray() const { return _rows > 0 ? const_cast<tCsv_datRow*>(_dRows.data()) : nullptr; }
    int rowIdx_title() const { return _rowIdx_title; }
    int rowIdx_limit_upper() const { return _rowIdx_limit_upper; }
    int rowIdx_limit_lower() const { return _rowIdx_limit_lower; }
    int rowIdx_ers_upper() const { return _rowIdx_ers_upper; }
    int rowIdx_ers_lower() const { return _rowIdx_ers_lower; }
    int rowIdx_unit() const { return _rowIdx_unit; }
    int rowIdx_grrStdev() const { return _rowIdx_grrStdev; }
    int rowIdx_grrLimit() const { return _rowIdx_grrLimit; }
    int colIdx_errCode() const { return _colIdx_errCode; }
    int colIdx_timeStamp() const { return _colIdx_timeStamp; }
    int colIdx_config() const { return _colIdx_config; }
    int colIdx_TesterID() const { return _colIdx_TesterID; }
    int dataRowStartIdx() const { return _dataRowStartIdx; }
    long dataCnt_total() const { return _dataCnt_total; }
    long dataCnt() const { return _dataCnt; }
    tCsv_strRow* dataStr() const { return _dataCnt >= 0 ? sArray() + _dataRowStartIdx : nullptr; }
    tCsv_datRow* dataDat() const { return _dataCnt >= 0 ? dArray() + _dataRowStartIdx : nullptr; }
    // Bytes of the file as read, and of the table's arrays.
    size_t fileStrBuffSize() const { return _fileStrBuffSize; }
    size_t memoryPoolSize() const { return _memoryPoolSize; }

    // Diagnostic dump of the table to `path` ("test_csv.csv" when null) and to standard output.
    void printData(const char* path) const;

    // The load from text in memory (the fuzzer's and the loader's common road);
    // `path` names the table in reports and is kept on success.
    int load_csvText(const char* text, size_t size, const char* path, bool writeCorrected);

    // A zero-filled block of memory. Large blocks come straight from the system in
    // huge pages where it offers them: a table of a hundred megabytes is otherwise
    // mostly page faults.
    class Block {
    public:
        Block() = default;
        ~Block() { reset(); }
        Block(Block&& o) noexcept : _p(o._p), _size(o._size), _mapped(o._mapped) { o._p = nullptr, o._size = 0; }
        Block& operator=(Block&& o) noexcept;
        Block(const Block&) = delete;
        Block& operator=(const Block&) = delete;
        bool allocate(size_t bytes);
        void reset();
        void* data() const { return _p; }
        size_t size() const { return _size; }

    private:
        void* _p = nullptr;
        size_t _size = 0;
        bool _mapped = false;
    };

private:
    struct Categories {
        int count = -1;
        std::vector<tCsv_strRow> str, strFinal;
        std::vector<tCsv_datRow> dat, datFinal;
        std::vector<tCsv_categoryDataInfo> info;
    };

    static std::shared_ptr<ZelkCsv> openChecked(const char* const* paths, size_t count);
    // nulChecked: the text is known to hold no NUL byte.
    int loadStages(const char* path, Block buf, size_t size, bool writeCorrected, bool nulChecked = false);
    void searchMarkers();
    void parseColumnItems();
    int removeDuplicatedTest();
    // The data rows in time order and which of them are final, shared by the
    // config and tester passes.
    struct TimeOrder {
        std::vector<tCsv_strRow> str;
        std::vector<tCsv_datRow> dat;
        std::vector<size_t> finalOf;  // data row of each final row
    };
    void timeOrder(TimeOrder& t) const;
    int parseCategoryInfo_catColIdx(int catColIdx, const TimeOrder& t, Categories& out);
    void fail(int code, const char* path, int line);

    std::string _filePathName;
    Block _fileStrBuff;
    size_t _fileStrBuffSize = 0;
    size_t _memoryPoolSize = 0;
    int _rows = -1, _cols = -1;
    Block _memoryPool;  // the cell texts, then the cell values
    std::vector<tCsv_strRow> _sRows;
    std::vector<tCsv_datRow> _dRows;
    int _rowIdx_title = -1, _rowIdx_limit_upper = -1, _rowIdx_limit_lower = -1, _rowIdx_ers_upper = -1,
        _rowIdx_ers_lower = -1, _rowIdx_unit = -1, _rowIdx_grrStdev = -1, _rowIdx_grrLimit = -1;
    std::vector<tCsv_columnItemInfo> _columnItem;
    int _colIdx_errCode = -1, _colIdx_timeStamp = -1, _colIdx_config = -1, _colIdx_TesterID = -1;
    int _dataRowStartIdx = -1;
    long _dataCnt_total = -1, _dataCnt = -1;
    Categories _config, _tester;
    bool _isValid = false;
    int _csvType = 0;

    static std::mutex _mtxCsvMrg;
};
