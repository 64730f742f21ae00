// Property lists in their XML form: a value tree and its reader and writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pf::plist {

// One node of a property list. Dictionaries keep their keys in insertion order;
// setting an existing key replaces its value.
class Value {
public:
    enum class Type { String, Real, Integer, Boolean, Date, Array, Dict, Data };

    Value() = default;  // an empty string
    Value(const Value& other);
    Value& operator=(const Value& other);
    Value(Value&&) noexcept = default;
    Value& operator=(Value&&) noexcept = default;
    ~Value() = default;
    static Value string(std::string s);
    static Value real(double d);
    static Value integer(int64_t i);
    // Integers from 2^63 to 2^64-1, as other writers put them in files.
    static Value uinteger(uint64_t u);
    static Value boolean(bool b);
    // Seconds since 2001-01-01 00:00:00 UTC; written with whole seconds.
    static Value date(double secondsSince2001);
    static Value array();
    static Value dict();
    // Bytes, written as base64 in <data>.
    static Value data(std::string bytes);

    Type type() const { return type_; }
    const std::string& str() const { return str_; }
    double real() const { return num_; }
    int64_t integer() const { return int_; }
    // The integer as unsigned; isUnsigned() tells which of the two it was made as.
    uint64_t uinteger() const { return static_cast<uint64_t>(int_); }
    bool isUnsigned() const { return unsigned_; }
    const std::string& bytes() const { return str_; }
    bool boolean() const { return int_ != 0; }
    double date() const { return num_; }

    // Arrays.
    const std::vector<Value>& items() const { return items_; }
    Value& append(Value v);

    // Dictionaries.
    const std::vector<std::string>& keys() const { return keys_; }
    Value& set(const std::string& key, Value v);
    const Value* find(const std::string& key) const;
    size_t size() const { return items_.size(); }

private:
    Type type_ = Type::String;
    std::string str_;
    double num_ = 0.0;
    int64_t int_ = 0;
    bool unsigned_ = false;
    std::vector<std::string> keys_;  // dictionary keys, parallel to items_
    std::vector<Value> items_;       // array elements or dictionary values
    // Key -> position, kept by set() once a dictionary is large, so that building or
    // reading one of n keys takes about n steps, not n * n.
    std::unique_ptr<std::unordered_map<std::string, size_t>> index_;
};

// XML text of a property list with the given root (no DOCTYPE line); control
// characters, which XML cannot carry, are left out.
std::string toXml(const Value& root);

// Writes the file through a temporary file in the same folder and a rename, so a
// reader sees either the old file or the whole new one; the file keeps its mode.
// False with a reason on failure, and for text that is not valid UTF-8 or holds
// control characters other than tab and line ends.
bool writeFile(const std::string& path, const Value& root, std::string* error = nullptr);

// A file whose root is a dictionary, written entry by entry as it is built, so a
// large list never sits in memory whole. Replaces the old file only at commit.
class DictFileWriter {
public:
    explicit DictFileWriter(const std::string& path);
    ~DictFileWriter();
    DictFileWriter(const DictFileWriter&) = delete;
    DictFileWriter& operator=(const DictFileWriter&) = delete;

    // Keys are the caller's to keep distinct. False once anything failed.
    bool add(const std::string& key, const Value& value);
    bool commit(std::string* error = nullptr);

private:
    struct Impl;
    Impl* impl_;
};

// Parses an XML property list; false with a reason for anything malformed.
bool fromXml(const std::string& xml, Value& root, std::string* error = nullptr);
bool readFile(const std::string& path, Value& root, std::string* error = nullptr);

}  // namespace pf::plist
