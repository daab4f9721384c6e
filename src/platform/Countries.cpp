#include "Countries.h"

#include "modules/PhoneNumberModule.h"
#include "platform/OwnModule.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QHash>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>

namespace Orvex {

namespace {

// The phone-number module: opened the first time a calling code is asked
// for, never before. A program that has it linked in (the tests) is served
// from itself; the client opens it from beside its binary (the build tree) or
// from its private library folder (installed).
struct PhoneModule
{
    OrvexPhoneRegionsFunction regions = nullptr;
    OrvexPhoneCodeFunction code = nullptr;
};

PhoneModule openPhoneModule()
{
    const QString folder = QCoreApplication::applicationDirPath();
    const QString name = QStringLiteral(ORVEX_PHONE_MODULE_NAME);
    PhoneModule found;
    // Why it is missing is of no use here: the country list is then empty,
    // and the module is looked for again at the next question.
    found.regions = reinterpret_cast<OrvexPhoneRegionsFunction>(
        OwnModule::resolve(folder, name, "orvex_phone_regions").valueOr(nullptr));
    found.code = reinterpret_cast<OrvexPhoneCodeFunction>(
        OwnModule::resolve(folder, name, "orvex_phone_code").valueOr(nullptr));
    return found;
}

const PhoneModule &phoneModule()
{
    // Only success is kept: a module not found is looked for again next time.
    static PhoneModule module;
    if (!module.regions || !module.code)
        module = openPhoneModule();
    return module;
}

icu::Locale icuLocale(const QLocale &locale)
{
    // QLocale names look like "de_DE", which ICU reads as they are; the C
    // locale has no language ICU knows and gets the root (English) names.
    return icu::Locale(locale.name().toLatin1().constData());
}

QString fromIcu(const icu::UnicodeString &text)
{
    return QString(reinterpret_cast<const QChar *>(text.getBuffer()), text.length());
}

icu::UnicodeString toIcu(const QString &text)
{
    return icu::UnicodeString(reinterpret_cast<const UChar *>(text.utf16()), int32_t(text.size()));
}

// Regional indicator symbols: "FR" becomes U+1F1EB U+1F1F7, which an emoji
// font draws as one flag.
QString flagEmoji(const QString &regionCode)
{
    QString emoji;
    for (QChar letter : regionCode) {
        const char32_t indicator = 0x1F1E6 + char32_t(letter.toUpper().unicode() - u'A');
        emoji += QString::fromUcs4(&indicator, 1);
    }
    return emoji;
}

constexpr int drawnSize = 128;

// The emoji of `regionCode` drawn large and cropped to what was drawn.
QImage drawEmoji(const QString &regionCode)
{
    QFont font(QStringLiteral("Noto Color Emoji"));
    font.setPixelSize(drawnSize * 3 / 4);
    QImage image(drawnSize * 3 / 2, drawnSize * 3 / 2, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setFont(font);
        painter.drawText(image.rect(), Qt::AlignCenter, flagEmoji(regionCode));
    }
    int left = image.width(), top = image.height(), right = -1, bottom = -1;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(line[x]) == 0)
                continue;
            left = std::min(left, x);
            right = std::max(right, x);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    }
    if (right < 0)
        return {};
    return image.copy(QRect(QPoint(left, top), QPoint(right, bottom)));
}

QImage drawLarge(const QString &regionCode)
{
    static const bool fontInstalled = QFontDatabase::families().contains(QStringLiteral("Noto Color Emoji"));
    const auto isAsciiLetter = [](QChar c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); };
    if (!fontInstalled || regionCode.size() != 2 || !isAsciiLetter(regionCode.at(0))
        || !isAsciiLetter(regionCode.at(1)))
        return {};
    // The font draws a pair it has no flag for as a white flag with a question
    // mark; "ZZ" is such a pair (no region has that code). That is no flag.
    static const QImage unknown = drawEmoji(QStringLiteral("ZZ"));
    const QImage flag = drawEmoji(regionCode);
    return flag == unknown ? QImage() : flag;
}

// The region's flag drawn large, or a null image; drawn once per process.
const QImage &largeFlag(const QString &regionCode)
{
    static QHash<QString, QImage> drawn;
    auto found = drawn.find(regionCode);
    if (found == drawn.end())
        found = drawn.insert(regionCode, drawLarge(regionCode));
    return *found;
}

// Draws the flag only when some size of it is first shown, so a list of every
// country costs no drawing until its rows are painted.
class FlagIconEngine final : public QIconEngine
{
public:
    explicit FlagIconEngine(const QString &regionCode)
        : m_regionCode(regionCode)
    {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, scaledPixmap(rect.size() * scale, mode, state, scale));
    }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override { return size; }

    QPixmap pixmap(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        const QImage &flag = largeFlag(m_regionCode);
        if (flag.isNull() || size.isEmpty())
            return {};
        const QString key
            = QStringLiteral("orvex-flag-%1-%2x%3").arg(m_regionCode).arg(size.width()).arg(size.height());
        QPixmap pixmap;
        if (QPixmapCache::find(key, &pixmap))
            return pixmap;
        // Scaled to fit, centred on a transparent square of the asked size.
        const QImage scaled = flag.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QImage canvas(size, QImage::Format_ARGB32_Premultiplied);
        canvas.fill(Qt::transparent);
        QPainter painter(&canvas);
        painter.drawImage((size.width() - scaled.width()) / 2, (size.height() - scaled.height()) / 2, scaled);
        painter.end();
        pixmap = QPixmap::fromImage(canvas);
        QPixmapCache::insert(key, pixmap);
        return pixmap;
    }

    // `size` is in device pixels already (QIcon multiplies it by `scale`).
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state, qreal scale) override
    {
        QPixmap sharp = pixmap(size, mode, state);
        sharp.setDevicePixelRatio(scale);
        return sharp;
    }

    bool isNull() override { return largeFlag(m_regionCode).isNull(); }
    QIconEngine *clone() const override { return new FlagIconEngine(m_regionCode); }
    QString key() const override { return QStringLiteral("OrvexFlag"); }

private:
    QString m_regionCode;
};

} // namespace

Countries::Countries(const QLocale &locale)
    : m_locale(locale)
{}

Country Countries::make(const QString &regionCode, int code) const
{
    return Country{regionCode, code, localizedName(regionCode, m_locale), flagImage(regionCode)};
}

QList<Country> Countries::all() const
{
    QList<Country> countries;
    if (const PhoneModule &module = phoneModule(); module.regions) {
        struct Collect
        {
            const Countries *list;
            QList<Country> *countries;
        } collect{this, &countries};
        countries.reserve(256);
        module.regions(
            [](void *context, const char *region, int code) {
                auto *c = static_cast<Collect *>(context);
                c->countries->append(c->list->make(QString::fromLatin1(region), code));
            },
            &collect);
    }

    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icuLocale(m_locale), status));
    if (U_SUCCESS(status) && collator) {
        std::stable_sort(countries.begin(), countries.end(), [&collator](const Country &a, const Country &b) {
            UErrorCode compareStatus = U_ZERO_ERROR;
            return collator->compare(toIcu(a.localizedName), toIcu(b.localizedName), compareStatus)
                   == UCOL_LESS;
        });
    } else {
        std::stable_sort(countries.begin(), countries.end(), [](const Country &a, const Country &b) {
            return a.localizedName.localeAwareCompare(b.localizedName) < 0;
        });
    }
    return countries;
}

std::optional<Country> Countries::current() const
{
    if (m_locale.territory() == QLocale::AnyTerritory)
        return std::nullopt;
    return country(QLocale::territoryToCode(m_locale.territory()));
}

std::optional<Country> Countries::country(const QString &regionCode) const
{
    const std::optional<int> code = phoneCode(regionCode);
    if (!code)
        return std::nullopt;
    return make(regionCode.toUpper(), *code);
}

QString Countries::localizedName(const QString &regionCode, const QLocale &locale)
{
    icu::UnicodeString name;
    icu::Locale("", regionCode.toUpper().toLatin1().constData()).getDisplayCountry(icuLocale(locale), name);
    const QString text = fromIcu(name);
    return text.isEmpty() ? regionCode : text;
}

std::optional<int> Countries::phoneCode(const QString &regionCode)
{
    const PhoneModule &module = phoneModule();
    if (!module.code)
        return std::nullopt;
    const int code = module.code(regionCode.toUpper().toLatin1().constData());
    if (code <= 0)
        return std::nullopt;
    return code;
}

QIcon Countries::flagImage(const QString &regionCode)
{
    static QHash<QString, QIcon> icons;
    const QString code = regionCode.toUpper();
    auto found = icons.find(code);
    if (found == icons.end())
        found = icons.insert(code, QIcon(new FlagIconEngine(code)));
    return *found;
}

} // namespace Orvex
