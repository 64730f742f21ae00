#include "AppUserDefaults.h"

#include <QSettings>
#include <QVariantList>
#include <QVariantMap>

#include <cmath>

const std::array<morvell::CategoryColor, morvell::kCategoryColorCount> kCategoryColor = {{
    {255, 0, 0},     {255, 0, 204},   {51, 0, 255},    {0, 204, 255},   {0, 255, 51},    {204, 255, 0},
    {255, 153, 0},   {255, 0, 102},   {153, 0, 255},   {0, 102, 255},   {0, 255, 153},   {102, 255, 0},
    {255, 153, 51},  {255, 51, 153},  {153, 51, 255},  {51, 153, 255},  {51, 255, 153},  {153, 255, 51},
    {204, 204, 0},   {255, 0, 0},     {255, 0, 255},   {0, 0, 255},     {0, 255, 255},   {102, 153, 0},
    {255, 204, 51},  {255, 102, 102}, {255, 102, 255}, {102, 102, 255}, {51, 153, 51},   {0, 255, 0},
    {153, 102, 102}, {255, 51, 102},  {153, 0, 153},   {51, 153, 204},  {51, 204, 0},    {153, 204, 0},
    {255, 51, 102},  {204, 51, 255},  {51, 102, 255},  {51, 255, 204},  {102, 255, 102}, {204, 204, 102},
    {204, 102, 51},  {255, 153, 255}, {102, 255, 255}, {153, 153, 51},  {255, 102, 51},  {204, 255, 204},
}};

namespace morvell {

namespace {

// A channel that the user's store holds as an integer 0..255 (a text of one
// reads too, as a hand-edited file may hold it).
bool channel(const QVariantMap& entry, const char* key, int* out) {
    const auto it = entry.constFind(QString::fromLatin1(key));
    if (it == entry.constEnd()) return false;
    bool ok = false;
    const double v = it->toDouble(&ok);
    if (!ok || !std::isfinite(v) || v != std::floor(v) || v < 0 || v > 255) return false;
    *out = int(v);
    return true;
}

}  // namespace

std::unique_ptr<QSettings> userDefaults() {
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Morvell"),
                                       QStringLiteral("Morvell"));
}

QColor colorOf(const ColorTable& table, int category) {
    const int n = kCategoryColorCount;
    return table[size_t(((category % n) + n) % n)];
}

ColorTable readColorTable(const QSettings& store) {
    const QVariant stored = store.value(QString::fromLatin1(kKeyColorTable));
    const QVariantList list = stored.typeId() == QMetaType::QVariantList ? stored.toList() : QVariantList{};
    ColorTable table;
    for (int i = 0; i < kCategoryColorCount; ++i) {
        const CategoryColor& fallback = kCategoryColor[size_t(i)];
        table[size_t(i)] = QColor(fallback.r, fallback.g, fallback.b);
        if (i >= list.size() || list[i].typeId() != QMetaType::QVariantMap) continue;
        const QVariantMap entry = list[i].toMap();
        int r = 0, g = 0, b = 0;
        if (channel(entry, "r", &r) && channel(entry, "g", &g) && channel(entry, "b", &b))
            table[size_t(i)] = QColor(r, g, b);
    }
    return table;
}

void writeColorTable(QSettings& store, const ColorTable& table) {
    QVariantList list;
    for (const QColor& c : table)
        list.append(QVariantMap{{QStringLiteral("r"), c.red()}, {QStringLiteral("g"), c.green()}, {QStringLiteral("b"), c.blue()}});
    store.setValue(QString::fromLatin1(kKeyColorTable), list);
}

}  // namespace morvell
