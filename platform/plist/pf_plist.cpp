// Property-list reader and writer on Qt's XML stream classes.
#include "pf_plist.h"

#include "number/pf_number.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
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

QString qs(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

void writeValue(QXmlStreamWriter& w, const Value& v) {
    switch (v.type()) {
    case Value::Type::String:
        w.writeTextElement("string", qs(v.str()));
        break;
    case Value::Type::Real:
        w.writeTextElement("real", qs(realText(v.real())));
        break;
    case Value::Type::Integer:
        w.writeTextElement("integer", QString::number(static_cast<qlonglong>(v.integer())));
        break;
    case Value::Type::Boolean:
        w.writeEmptyElement(v.boolean() ? "true" : "false");
        break;
    case Value::Type::Date: {
        const auto secs = static_cast<qint64>(std::floor(v.date())) + kRefUnix;
        w.writeTextElement("date", QDateTime::fromSecsSinceEpoch(secs, QTimeZone::utc()).toString("yyyy-MM-ddTHH:mm:ss") + "Z");
        break;
    }
    case Value::Type::Array:
        if (v.items().empty()) {
            w.writeEmptyElement("array");
            break;
        }
        w.writeStartElement("array");
        for (const Value& item : v.items()) writeValue(w, item);
        w.writeEndElement();
        break;
    case Value::Type::Dict:
        if (v.items().empty()) {
            w.writeEmptyElement("dict");
            break;
        }
        w.writeStartElement("dict");
        for (size_t i = 0; i < v.items().size(); ++i) {
            w.writeTextElement("key", qs(v.keys()[i]));
            writeValue(w, v.items()[i]);
        }
        w.writeEndElement();
        break;
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

bool parseInteger(const std::string& text, int64_t& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoll(text.c_str(), &end, 10);
    return end && *end == '\0' && errno == 0;
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
        int64_t i = 0;
        if (!parseInteger(text, i)) r.raiseError("bad integer");
        out = Value::integer(i);
        return !r.hasError();
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

Value& Value::set(const std::string& key, Value v) {
    for (size_t i = 0; i < keys_.size(); ++i) {
        if (keys_[i] == key) {
            items_[i] = std::move(v);
            return items_[i];
        }
    }
    keys_.push_back(key);
    items_.push_back(std::move(v));
    return items_.back();
}

const Value* Value::find(const std::string& key) const {
    for (size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i] == key) return &items_[i];
    return nullptr;
}

namespace {

// False when the tree holds text that XML cannot carry (control characters);
// the writer then leaves those characters out of `xml`.
bool renderXml(const Value& root, std::string& xml) {
    QByteArray out;
    QXmlStreamWriter w(&out);
    w.setAutoFormatting(true);
    w.setAutoFormattingIndent(-1);  // one tab per level
    w.writeStartDocument();
    w.writeStartElement("plist");
    w.writeAttribute("version", "1.0");
    writeValue(w, root);
    w.writeEndElement();
    w.writeEndDocument();
    xml.assign(out.constData(), static_cast<size_t>(out.size()));
    return !w.hasError();
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
    std::string xml;
    // A file without some of the characters would be a changed record, not the one asked for.
    if (!renderXml(root, xml)) {
        setError(error, "text holds a character a property list cannot carry");
        return false;
    }
    std::string tmp = path + ".XXXXXX";
    const int fd = mkstemp(tmp.data());
    if (fd < 0) {
        setError(error, "cannot create " + tmp);
        return false;
    }
    bool ok = true;
    size_t done = 0;
    while (ok && done < xml.size()) {
        const ssize_t n = ::write(fd, xml.data() + done, xml.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<size_t>(n);
    }
    // mkstemp makes the file private; a property list is an ordinary file.
    if (ok && fchmod(fd, 0644) != 0) ok = false;
    if (ok && fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        ::unlink(tmp.c_str());
        setError(error, "cannot write " + path);
    }
    return ok;
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
