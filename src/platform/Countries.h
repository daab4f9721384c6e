#pragma once

#include <QIcon>
#include <QList>
#include <QLocale>
#include <QString>

#include <optional>

namespace Orvex {

// A country a phone number can belong to.
struct Country
{
    QString regionCode;           // ISO 3166 code, e.g. "FR"
    std::optional<int> phoneCode; // international calling code, e.g. 33
    QString localizedName;        // in the language of the list's locale
    QIcon flagImage;              // any size, drawn when first shown; null when there is no flag
};

// The countries of the phone screen: the regions libphonenumber knows a
// calling code for, named by ICU in the user's language, with emoji flags.
class Countries final
{
public:
    explicit Countries(const QLocale &locale = QLocale());

    // Every region with a calling code, sorted by name as the locale's
    // language sorts (so the order is stable for a language).
    QList<Country> all() const;

    // The country of the locale's territory; absent when the locale names none
    // (the C locale) or one without a calling code.
    std::optional<Country> current() const;

    // One country by its ISO 3166 code; absent when it has no calling code.
    std::optional<Country> country(const QString &regionCode) const;

    // The region's name in `locale`'s language; the code itself when ICU has
    // no name for it.
    static QString localizedName(const QString &regionCode, const QLocale &locale);

    // The region's calling code, absent for a region libphonenumber does not know.
    static std::optional<int> phoneCode(const QString &regionCode);

    // The region's emoji flag from the colour emoji font, drawn large once per
    // process when it is first shown and scaled down to each size asked for
    // (16 x 16 in the menu, 32 x 32 on HiDPI screens). Null when the font is
    // missing or has no flag for the region; finding that out draws it.
    static QIcon flagImage(const QString &regionCode);

private:
    Country make(const QString &regionCode, int phoneCode) const;

    QLocale m_locale;
};

} // namespace Orvex
