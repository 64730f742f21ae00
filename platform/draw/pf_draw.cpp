// The drawing context on QImage + QPainter.
#include "draw/pf_draw.h"

#include "draw/pf_jpeg2000.h"

#include <QFont>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPolygonF>
#include <QSaveFile>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>
#include <QTransform>

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>
#include <vector>

namespace pf::draw {

const char* const kMonospaceFont = "DejaVu Sans Mono";
const char* const kMonospaceBoldFont = "DejaVu Sans Mono Bold";

namespace {

// Text needs a GUI application object. Programs make their own first; a
// program without a GUI (command-line runs, tests) gets an off-screen one
// that lives for the rest of the process.
bool ensureGuiApplication() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (QCoreApplication::instance()) return;
        static int argc = 3;
        static char arg0[] = "nerrakit", arg1[] = "-platform", arg2[] = "offscreen";
        static char* argv[] = {arg0, arg1, arg2, nullptr};
        new QGuiApplication(argc, argv);
    });
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

QColor toColor(double r, double g, double b, double a) {
    auto clamp = [](double v) { return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0); };
    return QColor::fromRgbF(static_cast<float>(clamp(r)), static_cast<float>(clamp(g)), static_cast<float>(clamp(b)),
                            static_cast<float>(clamp(a)));
}

struct State {
    QColor stroke{Qt::black};
    QColor fill{Qt::black};
    double lineWidth = 1.0;
    Qt::PenCapStyle cap = Qt::FlatCap;
    std::vector<double> dash;
    double dashPhase = 0.0;
    bool antialias = true;
    QString fontFamily = QString::fromLatin1(kMonospaceFont);
    double fontSize = 12.0;
    bool fontBold = false;
};

}  // namespace

struct Context::Impl {
    QImage image;
    QPainter painter;
    State state;
    std::vector<State> saved;
    bool gui = false;
    // The stroke the painter holds, so that a run of strokes in one pen sets it once.
    bool strokeSet = false;
    State strokeOf;

    QPen pen() const {
        QPen p(state.stroke);
        p.setWidthF(state.lineWidth);
        p.setCapStyle(state.cap);
        if (!state.dash.empty() && state.lineWidth > 0) {
            // Qt measures dashes in pen widths.
            QList<qreal> pattern;
            for (double v : state.dash) pattern.append(v / state.lineWidth);
            if (pattern.size() % 2) pattern.append(pattern);
            p.setDashPattern(pattern);
            p.setDashOffset(state.dashPhase / state.lineWidth);
        }
        return p;
    }
    QFont font() const {
        // A family named with " Bold" is that family's bold face.
        static const QString kBold = QStringLiteral(" Bold");
        const bool bold = state.fontFamily.endsWith(kBold);
        QFont f(bold ? state.fontFamily.chopped(kBold.size()) : state.fontFamily);
        f.setBold(bold || state.fontBold);
        f.setPointSizeF(state.fontSize > 0 ? state.fontSize : 1.0);
        return f;
    }
    void applyStroke() {
        if (strokeSet && strokeOf.antialias == state.antialias && strokeOf.stroke == state.stroke &&
            strokeOf.lineWidth == state.lineWidth && strokeOf.cap == state.cap && strokeOf.dash == state.dash &&
            strokeOf.dashPhase == state.dashPhase)
            return;
        painter.setRenderHint(QPainter::Antialiasing, state.antialias);
        painter.setPen(pen());
        painter.setBrush(Qt::NoBrush);
        strokeOf = state;
        strokeSet = true;
    }
};

Context::Context(int width, int height) : d_(std::make_unique<Impl>()) {
    d_->gui = ensureGuiApplication();
    if (width < 1 || height < 1) return;
    d_->image = QImage(width, height, QImage::Format_ARGB32);
    if (d_->image.isNull()) return;
    // 72 dots per inch, so that a point is one unit.
    d_->image.setDotsPerMeterX(2835);
    d_->image.setDotsPerMeterY(2835);
    d_->image.fill(Qt::transparent);
    d_->painter.begin(&d_->image);
    d_->painter.setWorldTransform(QTransform(1, 0, 0, -1, 0, height));
}

Context::~Context() {
    if (d_->painter.isActive()) d_->painter.end();
}

bool Context::isValid() const { return d_->painter.isActive(); }
int Context::width() const { return d_->image.width(); }
int Context::height() const { return d_->image.height(); }

void Context::saveState() { d_->saved.push_back(d_->state); }

void Context::restoreState() {
    if (d_->saved.empty()) return;
    d_->state = d_->saved.back();
    d_->saved.pop_back();
}

void Context::setStrokeColor(double r, double g, double b, double a) { d_->state.stroke = toColor(r, g, b, a); }
void Context::setFillColor(double r, double g, double b, double a) { d_->state.fill = toColor(r, g, b, a); }
void Context::setLineWidth(double width) { d_->state.lineWidth = width; }

void Context::setLineCap(LineCap cap) {
    d_->state.cap = cap == LineCap::round ? Qt::RoundCap : cap == LineCap::square ? Qt::SquareCap : Qt::FlatCap;
}

void Context::setDash(const double* lengths, int count, double phase) {
    d_->state.dash.clear();
    if (lengths && count > 0) d_->state.dash.assign(lengths, lengths + count);
    d_->state.dashPhase = phase;
}

void Context::setAntialias(bool on) { d_->state.antialias = on; }

bool Context::setFont(const char* family, double pointSize) {
    if (!family) return false;
    d_->state.fontFamily = QString::fromUtf8(family);
    d_->state.fontSize = pointSize;
    if (!d_->gui) return false;
    const QFont f = d_->font();
    return QFontInfo(f).family().compare(f.family(), Qt::CaseInsensitive) == 0;
}

void Context::setFontBold(bool bold) { d_->state.fontBold = bold; }

void Context::fillRect(double x, double y, double w, double h) {
    if (!isValid()) return;
    d_->painter.setRenderHint(QPainter::Antialiasing, d_->state.antialias);
    d_->strokeSet = false;  // the hint may no longer be the stroke's
    d_->painter.fillRect(QRectF(x, y, w, h), d_->state.fill);
}

void Context::strokeRect(double x, double y, double w, double h) {
    if (!isValid()) return;
    d_->applyStroke();
    d_->painter.drawRect(QRectF(x, y, w, h));
}

void Context::strokeLine(double x1, double y1, double x2, double y2) {
    if (!isValid()) return;
    d_->applyStroke();
    d_->painter.drawLine(QPointF(x1, y1), QPointF(x2, y2));
}

void Context::strokePolyline(const double* xy, size_t count) {
    if (!isValid() || !xy || count < 2) return;
    d_->applyStroke();
    QPen pen = d_->painter.pen();
    pen.setJoinStyle(Qt::RoundJoin);
    d_->painter.setPen(pen);
    d_->strokeSet = false;
    QPolygonF line;
    line.reserve(static_cast<qsizetype>(count));
    for (size_t i = 0; i < count; ++i) line.append(QPointF(xy[2 * i], xy[2 * i + 1]));
    d_->painter.drawPolyline(line);
}

void Context::strokeEllipse(double cx, double cy, double rx, double ry) {
    if (!isValid()) return;
    d_->applyStroke();
    d_->painter.drawEllipse(QPointF(cx, cy), rx, ry);
}

void Context::fillRoundedRect(double x, double y, double w, double h, double radius) {
    if (!isValid()) return;
    QPainter& p = d_->painter;
    p.save();
    p.setRenderHint(QPainter::Antialiasing, d_->state.antialias);
    p.setPen(Qt::NoPen);
    p.setBrush(d_->state.fill);
    p.drawRoundedRect(QRectF(x, y, w, h), radius, radius);
    p.restore();
    d_->strokeSet = false;
}

void Context::strokeRoundedRect(double x, double y, double w, double h, double radius) {
    if (!isValid()) return;
    d_->applyStroke();
    d_->painter.drawRoundedRect(QRectF(x, y, w, h), radius, radius);
}

const QImage& Context::image() const { return d_->image; }

double Context::textWidth(const char* text) {
    if (!text || !d_->gui) return 0.0;
    // Measured against the bitmap, so the advance is in its units.
    return QFontMetricsF(d_->font(), &d_->image).horizontalAdvance(QString::fromUtf8(text));
}

void Context::drawText(const char* text, double x, double y, double angle) {
    if (!isValid() || !text || !d_->gui) return;
    QPainter& p = d_->painter;
    p.save();
    // Undo the y flip around the baseline point, so glyphs stand upright.
    p.translate(x, y);
    p.scale(1, -1);
    p.rotate(-angle * 180.0 / M_PI);
    p.setRenderHint(QPainter::Antialiasing, d_->state.antialias);
    p.setFont(d_->font());
    p.setPen(d_->state.fill);
    p.drawText(QPointF(0, 0), QString::fromUtf8(text));
    p.restore();
}

void Context::drawGreyImage(const uint8_t* grey, int w, int h, double x, double y, double dw, double dh) {
    if (!isValid() || !grey || w < 1 || h < 1) return;
    const QImage src(grey, w, h, w, QImage::Format_Grayscale8);
    QPainter& p = d_->painter;
    p.save();
    // Row 0 of the bitmap is its top: place it in device coordinates.
    p.resetTransform();
    p.drawImage(QRectF(x, d_->image.height() - (y + dh), dw, dh), src);
    p.restore();
}

void Context::drawImage(const QImage& image, double x, double y) {
    if (!isValid() || image.isNull()) return;
    QPainter& p = d_->painter;
    p.save();
    p.resetTransform();
    p.drawImage(QPointF(x, d_->image.height() - (y + image.height())), image);
    p.restore();
}

uint32_t Context::pixel(int x, int y) const {
    const int row = d_->image.height() - 1 - y;
    if (x < 0 || row < 0 || x >= d_->image.width() || row >= d_->image.height()) return 0;
    return d_->image.pixel(x, row);
}

bool Context::writeTo(const std::string& path, const char* format) const {
    if (d_->image.isNull() || path.empty() || !format) return false;
    const bool jp2 = qstrcmp(format, "jp2") == 0, j2k = qstrcmp(format, "j2k") == 0;
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (jp2 || j2k) {
        // Qt has no JPEG 2000 writer: encode in memory, then write the whole stream.
        // The buffer stays with the thread, which writes picture after picture.
        thread_local std::vector<uint8_t> bytes;
        if (!encodeJpeg2000(d_->image, jp2, bytes) ||
            file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size())) !=
                static_cast<qint64>(bytes.size())) {
            file.cancelWriting();
            return false;
        }
        return file.commit();
    }
    QImageWriter writer(&file, format);
    // JPEG has no alpha: flatten onto white, as a viewer would show it.
    QImage out = d_->image;
    if (qstrcmp(format, "png") != 0) {
        out = QImage(d_->image.size(), QImage::Format_RGB32);
        out.fill(Qt::white);
        QPainter flat(&out);
        flat.drawImage(0, 0, d_->image);
    }
    if (!writer.write(out)) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

void paintSerially(const std::function<void()>& work) {
    QThreadPool* pool = QThreadPool::globalInstance();
    if (!pool || pool->contains(QThread::currentThread())) {
        work();
        return;
    }
    QSemaphore done;
    std::exception_ptr failure;
    pool->start([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        done.release();
    });
    done.acquire();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace pf::draw
