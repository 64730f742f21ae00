// Property-list reader and writer on Qt's XML stream classes.
#include "pf_plist.h"

#include "file/pf_file.h"
#include "number/pf_number.h"

#include <QByteArray>
#include <QDateTime>
#include <QIODevice>
#include <QString>
#include <QStringDecoder>
#include <QTimeZone>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pf::plist {

namespace {

// Unix time of the reference date 2001-01-01 00:00:00 UTC.
constexpr int64_t kRefUnix = 978307200;
// Nesting deeper than this is refused instead of recursing without bound.
constexpr int kMaxDepth = 256;

void setError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

std::string realText(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buf[40];
    pf::number::format(buf, sizeof(buf), "%.17g", d);
    return buf;
}

// Text for the writer; false for bytes that are not UTF-8, which a reader
// would get back changed.
bool utf8(const std::string& s, QString& out) {
    QStringDecoder dec(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    out = dec(QByteArrayView(s.data(), static_cast<qsizetype>(s.size())));
    return !dec.hasError();
}

QString latin(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size())); }

bool writeText(QXmlStreamWriter& w, const char* tag, const std::string& text) {
    QString q;
    if (!utf8(text, q)) return false;
    w.writeTextElement(tag, q);
    return true;
}

// False for text that is not UTF-8; the writer's own error covers what XML cannot carry.
bool writeValue(QXmlStreamWriter& w, const Value& v) {
    switch (v.type()) {
    case Value::Type::String:
        return writeText(w, "string", v.str());
    case Value::Type::Real:
        w.writeTextElement("real", latin(realText(v.real())));
        return true;
    case Value::Type::Integer:
        w.writeTextElement("integer", v.isUnsigned() ? QString::number(static_cast<qulonglong>(v.uinteger()))
                                                     : QString::number(static_cast<qlonglong>(v.integer())));
        return true;
    case Value::Type::Boolean:
        w.writeEmptyElement(v.boolean() ? "true" : "false");
        return true;
    case Value::Type::Date: {
        const auto secs = static_cast<qint64>(std::floor(v.date())) + kRefUnix;
        w.writeTextElement("date", QDateTime::fromSecsSinceEpoch(secs, QTimeZone::utc()).toString("yyyy-MM-ddTHH:mm:ss") + "Z");
        return true;
    }
    case Value::Type::Data: {
        const QByteArray b64 = QByteArray(v.bytes().data(), static_cast<qsizetype>(v.bytes().size())).toBase64();
        w.writeTextElement("data", QString::fromLatin1(b64));
        return true;
    }
    case Value::Type::Array:
        if (v.items().empty()) {
            w.writeEmptyElement("array");
            return true;
        }
        w.writeStartElement("array");
        for (const Value& item : v.items())
            if (!writeValue(w, item)) return false;
        w.writeEndElement();
        return true;
    case Value::Type::Dict:
        if (v.items().empty()) {
            w.writeEmptyElement("dict");
            return true;
        }
        w.writeStartElement("dict");
        for (size_t i = 0; i < v.items().size(); ++i) {
            if (!writeText(w, "key", v.keys()[i]) || !writeValue(w, v.items()[i])) return false;
        }
        w.writeEndElement();
        return true;
    }
    return false;
}

// The XML writer's output goes into the replacing write in blocks: the writer
// hands over every tag on its own.
class ReplacingDevice : public QIODevice {
public:
    explicit ReplacingDevice(pf::file::ReplacingWrite& out) : out_(out) { open(QIODevice::WriteOnly); }
    bool flushBlock() {
        const bool ok = out_.write(block_.data(), block_.size());
        block_.clear();
        return ok;
    }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 len) override {
        block_.append(data, static_cast<size_t>(len));
        if (block_.size() >= kBlock && !flushBlock()) return -1;
        return len;
    }

private:
    static constexpr size_t kBlock = 65536;
    pf::file::ReplacingWrite& out_;
    std::string block_;
};

void startDocument(QXmlStreamWriter& w) {
    w.setAutoFormatting(true);
    w.setAutoFormattingIndent(-1);  // one tab per level
    w.writeStartDocument();
    w.writeStartElement("plist");
    w.writeAttribute("version", "1.0");
}

void endDocument(QXmlStreamWriter& w) {
    w.writeEndElement();
    w.writeEndDocument();
}

std::string writeFailure(const pf::file::ReplacingWrite& out, const std::string& path) {
    using S = pf::file::ReplacingWrite::Status;
    switch (out.status()) {
    case S::openFailed: return "cannot create a temporary file beside " + path;
    case S::renameFailed: return "cannot replace " + path;
    default: return "cannot write " + path;
    }
}

// Moves to the next start or end element, skipping blanks and comments.
QXmlStreamReader::TokenType nextTag(QXmlStreamReader& r) {
    while (!r.atEnd()) {
        const auto t = r.readNext();
        if (t == QXmlStreamReader::StartElement || t == QXmlStreamReader::EndElement) return t;
        if (t == QXmlStreamReader::Characters && !r.isWhitespace()) {
            r.raiseError("unexpected text");
            return QXmlStreamReader::Invalid;
        }
    }
    return QXmlStreamReader::Invalid;
}

bool parseReal(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    out = pf::number::parse(text.c_str(), &end);
    return end && *end == '\0';
}

// Integers from INT64_MIN to 2^64-1; the sign of the text decides how it is kept.
bool parseInteger(const std::string& text, Value& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    if (text[0] == '-') {
        const long long i = std::strtoll(text.c_str(), &end, 10);
        if (!end || *end != '\0' || errno != 0) return false;
        out = Value::integer(i);
        return true;
    }
    const unsigned long long u = std::strtoull(text.c_str(), &end, 10);
    if (!end || *end != '\0' || errno != 0 || text.find('-') != std::string::npos) return false;
    out = u > static_cast<unsigned long long>(INT64_MAX) ? Value::uinteger(u) : Value::integer(static_cast<int64_t>(u));
    return true;
}

// Reads the value whose start element the reader stands on.
bool readValue(QXmlStreamReader& r, Value& out, int depth) {
    if (depth > kMaxDepth) {
        r.raiseError("nesting too deep");
        return false;
    }
    const QString tag = r.name().toString();
    if (tag == "dict") {
        out = Value::dict();
        while (true) {
            const auto t = nextTag(r);
            if (t == QXmlStreamReader::EndElement) return true;
            if (t != QXmlStreamReader::StartElement || r.name() != QLatin1String("key")) {
                if (!r.hasError()) r.raiseError("dictionary entry without key");
                return false;
            }
            const std::string key = r.readElementText().toStdString();
            if (r.hasError()) return false;
            if (nextTag(r) != QXmlStreamReader::StartElement) {
                if (!r.hasError()) r.raiseError("key without value");
                return false;
            }
            Value v;
            if (!readValue(r, v, depth + 1)) return false;
            out.set(key, std::move(v));
        }
    }
    if (tag == "array") {
        out = Value::array();
        while (true) {
            const auto t = nextTag(r);
            if (t == QXmlStreamReader::EndElement) return true;
            if (t != QXmlStreamReader::StartElement) return false;
            Value v;
            if (!readValue(r, v, depth + 1)) return false;
            out.append(std::move(v));
        }
    }
    if (tag == "true" || tag == "false") {
        out = Value::boolean(tag == "true");
        r.readElementText();
        return !r.hasError();
    }
    const std::string text = r.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement).toStdString();
    if (r.hasError()) return false;
    if (tag == "string") {
        out = Value::string(text);
        return true;
    }
    if (tag == "real") {
        double d = 0;
        if (!parseReal(text, d)) r.raiseError("bad real");
        out = Value::real(d);
        return !r.hasError();
    }
    if (tag == "integer") {
        if (!parseInteger(text, out)) r.raiseError("bad integer");
        return !r.hasError();
    }
    if (tag == "data") {
        // Base64 with line breaks and indentation, as writers lay it out.
        const auto raw = QByteArray::fromBase64Encoding(QByteArray::fromStdString(text).simplified().replace(' ', ""),
                                                        QByteArray::AbortOnBase64DecodingErrors);
        if (!raw) {
            r.raiseError("bad data");
            return false;
        }
        out = Value::data(raw.decoded.toStdString());
        return true;
    }
    if (tag == "date") {
        const QDateTime dt = QDateTime::fromString(QString::fromStdString(text), Qt::ISODate);
        if (!dt.isValid()) {
            r.raiseError("bad date");
            return false;
        }
        out = Value::date(static_cast<double>(dt.toSecsSinceEpoch() - kRefUnix));
        return true;
    }
    r.raiseError("unsupported element " + tag);
    return false;
}

}  // namespace

Value Value::string(std::string s) {
    Value v;
    v.str_ = std::move(s);
    return v;
}
Value Value::real(double d) {
    Value v;
    v.type_ = Type::Real;
    v.num_ = d;
    return v;
}
Value Value::integer(int64_t i) {
    Value v;
    v.type_ = Type::Integer;
    v.int_ = i;
    return v;
}
Value Value::uinteger(uint64_t u) {
    Value v;
    v.type_ = Type::Integer;
    v.int_ = static_cast<int64_t>(u);
    v.unsigned_ = true;
    return v;
}
Value Value::data(std::string bytes) {
    Value v;
    v.type_ = Type::Data;
    v.str_ = std::move(bytes);
    return v;
}
Value Value::boolean(bool b) {
    Value v;
    v.type_ = Type::Boolean;
    v.int_ = b ? 1 : 0;
    return v;
}
Value Value::date(double secondsSince2001) {
    Value v;
    v.type_ = Type::Date;
    v.num_ = secondsSince2001;
    return v;
}
Value Value::array() {
    Value v;
    v.type_ = Type::Array;
    return v;
}
Value Value::dict() {
    Value v;
    v.type_ = Type::Dict;
    return v;
}

Value& Value::append(Value v) {
    items_.push_back(std::move(v));
    return items_.back();
}

namespace {
// Below this many keys a plain search is as quick as the index.
constexpr size_t kIndexFrom = 16;
}  // namespace

Value::Value(const Value& o)
    : type_(o.type_), str_(o.str_), num_(o.num_), int_(o.int_), unsigned_(o.unsigned_), keys_(o.keys_),
      items_(o.items_),
      index_(o.index_ ? std::make_unique<std::unordered_map<std::string, size_t>>(*o.index_) : nullptr) {}

Value& Value::operator=(const Value& o) {
    if (this != &o) {
        Value copy(o);
        *this = std::move(copy);
    }
    return *this;
}

Value& Value::set(const std::string& key, Value v) {
    if (keys_.size() >= kIndexFrom && !index_) {
        index_ = std::make_unique<std::unordered_map<std::string, size_t>>();
        index_->reserve(keys_.size() * 2);
        // The first of equal keys wins, as the search below finds it.
        for (size_t i = keys_.size(); i-- > 0;) (*index_)[keys_[i]] = i;
    }
    if (index_) {
        const auto [it, added] = index_->emplace(key, keys_.size());
        if (!added) {
            items_[it->second] = std::move(v);
            return items_[it->second];
        }
    } else {
        for (size_t i = 0; i < keys_.size(); ++i) {
            if (keys_[i] == key) {
                items_[i] = std::move(v);
                return items_[i];
            }
        }
    }
    keys_.push_back(key);
    items_.push_back(std::move(v));
    return items_.back();
}

const Value* Value::find(const std::string& key) const {
    if (index_) {
        const auto it = index_->find(key);
        return it == index_->end() ? nullptr : &items_[it->second];
    }
    for (size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i] == key) return &items_[i];
    return nullptr;
}

namespace {

// False when the tree holds text that is not UTF-8 or that XML cannot carry
// (control characters); the writer then leaves those characters out of `xml`.
bool renderXml(const Value& root, std::string& xml) {
    QByteArray out;
    QXmlStreamWriter w(&out);
    startDocument(w);
    const bool ok = writeValue(w, root);
    endDocument(w);
    xml.assign(out.constData(), static_cast<size_t>(out.size()));
    return ok && !w.hasError();
}

}  // namespace

std::string toXml(const Value& root) {
    std::string xml;
    renderXml(root, xml);
    return xml;
}

bool writeFile(const std::string& path, const Value& root, std::string* error) {
    if (path.empty()) {
        setError(error, "empty path");
        return false;
    }
    pf::file::ReplacingWrite out(path);
    if (out.status() != pf::file::ReplacingWrite::Status::ok) {
        setError(error, writeFailure(out, path));
        return false;
    }
    bool textOk;
    {
        ReplacingDevice device(out);
        QXmlStreamWriter w(&device);
        startDocument(w);
        textOk = writeValue(w, root) && !(w.hasError() && out.status() == pf::file::ReplacingWrite::Status::ok);
        endDocument(w);
        device.flushBlock();
    }
    // A file without some of the characters would be a changed record, not the one asked for.
    if (!textOk) {
        setError(error, "text holds a character a property list cannot carry");
        return false;
    }
    if (out.commit() != pf::file::ReplacingWrite::Status::ok) {
        setError(error, writeFailure(out, path));
        return false;
    }
    return true;
}

struct DictFileWriter::Impl {
    explicit Impl(const std::string& p) : path(p), out(p), device(out), w(&device) {
        startDocument(w);
        w.writeStartElement("dict");
    }
    std::string path;
    pf::file::ReplacingWrite out;
    ReplacingDevice device;
    QXmlStreamWriter w;
    bool textOk = true;
};

DictFileWriter::DictFileWriter(const std::string& path) : impl_(new Impl(path)) {}

DictFileWriter::~DictFileWriter() { delete impl_; }

bool DictFileWriter::add(const std::string& key, const Value& value) {
    Impl& d = *impl_;
    if (!d.textOk || d.out.status() != pf::file::ReplacingWrite::Status::ok) return false;
    d.textOk = writeText(d.w, "key", key) && writeValue(d.w, value) &&
               !(d.w.hasError() && d.out.status() == pf::file::ReplacingWrite::Status::ok);
    return d.textOk && d.out.status() == pf::file::ReplacingWrite::Status::ok;
}

bool DictFileWriter::commit(std::string* error) {
    Impl& d = *impl_;
    if (d.textOk && d.out.status() == pf::file::ReplacingWrite::Status::ok) {
        d.w.writeEndElement();  // </dict>
        endDocument(d.w);
        d.device.flushBlock();
    }
    if (!d.textOk) {
        setError(error, "text holds a character a property list cannot carry");
        return false;
    }
    if (d.out.commit() != pf::file::ReplacingWrite::Status::ok) {
        setError(error, writeFailure(d.out, d.path));
        return false;
    }
    return true;
}

bool fromXml(const std::string& xml, Value& root, std::string* error) {
    QXmlStreamReader r(QByteArray::fromRawData(xml.data(), static_cast<qsizetype>(xml.size())));
    Value v;
    bool ok = nextTag(r) == QXmlStreamReader::StartElement && r.name() == QLatin1String("plist");
    if (ok) ok = nextTag(r) == QXmlStreamReader::StartElement && readValue(r, v, 0);
    if (ok) ok = nextTag(r) == QXmlStreamReader::EndElement;  // </plist>
    if (ok) {
        while (!r.atEnd()) r.readNext();
        ok = !r.hasError();
    }
    if (!ok) {
        setError(error, r.hasError() ? r.errorString().toStdString() : std::string("not a property list"));
        return false;
    }
    root = std::move(v);
    return true;
}

bool readFile(const std::string& path, Value& root, std::string* error) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        setError(error, "cannot open " + path);
        return false;
    }
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    const bool readOk = !std::ferror(f);
    std::fclose(f);
    if (!readOk) {
        setError(error, "cannot read " + path);
        return false;
    }
    return fromXml(text, root, error);
}

}  // namespace pf::plist
