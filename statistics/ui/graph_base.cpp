// The tool's shared graph widgets.
#include "graph_base.h"

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QImage>
#include <QImageWriter>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QSlider>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QVBoxLayout>

#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "ZelkPaths.h"
#include "draw/pf_jpeg2000.h"
#include "file/pf_file.h"
#include "nk_csv.h"

std::string graph_exportPath(const char* name) {
    std::string safe = name ? name : "";
    for (char& c : safe)
        if (c == '/') c = '_';
    // The application's folder ends with "/" already; the doubled separator is harmless.
    return std::string(ZUTIL_GetAppPath()) + "/" + safe + ".jpeg";
}

bool graph_copyImageToClipboard(const QImage& image) {
    if (image.isNull()) return false;
    QByteArray tiff;
    QBuffer buffer(&tiff);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "tiff");
    if (!writer.write(image)) {
        syslog(LOG_ERR, "%s", writer.errorString().toLocal8Bit().constData());
        return false;
    }
    // TIFF only: the pasteboard is declared with that one type.
    auto* data = new QMimeData;
    data->setData(QStringLiteral("image/tiff"), tiff);
    QGuiApplication::clipboard()->setMimeData(data);
    return true;
}

bool graph_exportImage(const QImage& image, const char* name) {
    std::vector<uint8_t> bytes;
    if (!pf::draw::encodeJpeg2000(image, true, bytes)) {
        syslog(LOG_ERR, "JPEG 2000 encoding of %s failed", name ? name : "");
        return false;
    }
    const std::string path = graph_exportPath(name);
    pf::file::ReplacingWrite out(path);
    if (out.status() == pf::file::ReplacingWrite::Status::ok && out.write(bytes.data(), bytes.size()) &&
        out.commit() == pf::file::ReplacingWrite::Status::ok)
        return true;
    syslog(LOG_ERR, "%s: %s", path.c_str(), std::strerror(errno));
    return false;
}

graph_base::graph_base(QWidget* parent) : QWidget(parent) {}

void graph_base::copyToClipboard(QObject*) { graph_copyImageToClipboard(grab().toImage()); }

void graph_base::exportImage(const char* name) { graph_exportImage(grab().toImage(), name); }

ZelkCategoryButton::ZelkCategoryButton(QWidget* parent) : QPushButton(parent) { setCheckable(true); }

QColor ZelkCategoryButton::backGroundColor() const {
    std::lock_guard<std::mutex> lock(_colorLock);
    return _backGroundColor;
}

void ZelkCategoryButton::setBackGroundColor(const QColor& color) {
    {
        std::lock_guard<std::mutex> lock(_colorLock);
        _backGroundColor = color;
    }
    update();
}

void ZelkCategoryButton::paintEvent(QPaintEvent*) {
    QStylePainter p(this);
    const QColor c = backGroundColor();
    p.fillRect(rect(), c.isValid() ? c : QColor::fromRgbF(1, 0.8f, 0, 1));
    QStyleOptionButton option;
    initStyleOption(&option);
    // The state as a frame: dark when shown, light when not.
    p.setPen(QPen(isChecked() ? QColor(0, 0, 0, 200) : QColor(0, 0, 0, 60), isChecked() ? 2 : 1));
    p.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
    p.drawControl(QStyle::CE_PushButtonLabel, option);
}

void ZelkCategoryButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        if (_eventSink) _eventSink->OnCB_rightClick(this);
        event->accept();
        return;
    }
    QPushButton::mousePressEvent(event);
}

categoryView::categoryView(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    label = new QLabel(this);
    layout->addWidget(label);
    QSlider** sliders[3] = {&slider_r, &slider_g, &slider_b};
    const char* names[3] = {"slider_r", "slider_g", "slider_b"};
    for (int i = 0; i < 3; ++i) {
        *sliders[i] = new QSlider(Qt::Horizontal, this);
        (*sliders[i])->setObjectName(QString::fromLatin1(names[i]));
        (*sliders[i])->setMinimum(0);
        (*sliders[i])->setMinimumWidth(200);
        layout->addWidget(*sliders[i]);
    }
    awakeFromResource();
}

void categoryView::awakeFromResource() {
    for (QSlider* s : {slider_r, slider_g, slider_b}) s->setMaximum(255);
    label->setText(QStringLiteral("Popover View"));
}

histogramView::histogramView(QWidget* parent) : QWidget(parent), _csv(std::make_unique<CNK_csv>()) {}

histogramView::~histogramView() = default;

void histogramView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
}
