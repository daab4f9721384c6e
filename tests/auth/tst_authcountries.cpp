// The phone screen's countries: libphonenumber's regions with their calling
// codes, ICU's names in the user's language and order, the emoji flags, the
// current country from the locale, and the menu the screen builds from them.

#include "ui/AppStoryboard.h"
#include "account/CountryPopUpButton.h"
#include "account/MobileViewController.h"
#include "platform/Countries.h"
#include "TestSession.h"

#include <QFontDatabase>
#include <QLabel>
#include <QSet>
#include <QTest>

using namespace Orvex;

namespace {

qsizetype indexOf(const QList<Country> &countries, const QString &regionCode)
{
    for (qsizetype i = 0; i < countries.size(); ++i) {
        if (countries.at(i).regionCode == regionCode)
            return i;
    }
    return -1;
}

} // namespace

class tst_AuthCountries : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void everyRegionHasACallingCode();
    void namesAndOrderFollowTheLanguage();
    void currentCountryComesFromTheLocale();
    void flagsAreDrawnFromTheEmojiFont();
    void menuOpensInsideTheWindow_data();
    void menuOpensInsideTheWindow();
    void phoneScreenBuildsItsMenu();
    void phoneScreenWithoutACurrentCountry();

private:
    TestSession m_session;
};

void tst_AuthCountries::cleanup()
{
    QLocale::setDefault(QLocale::system());
}

void tst_AuthCountries::everyRegionHasACallingCode()
{
    const QList<Country> countries = Countries(QLocale(QStringLiteral("en_US"))).all();
    QVERIFY(countries.size() > 200);
    QSet<QString> seen;
    for (const Country &country : countries) {
        QVERIFY2(country.phoneCode && *country.phoneCode > 0, qPrintable(country.regionCode));
        QCOMPARE(country.regionCode.size(), 2);
        QVERIFY(!country.localizedName.isEmpty());
        seen.insert(country.regionCode);
    }
    QCOMPARE(seen.size(), countries.size());
    QCOMPARE(countries.at(indexOf(countries, QStringLiteral("FR"))).phoneCode, 33);
    QCOMPARE(countries.at(indexOf(countries, QStringLiteral("US"))).phoneCode, 1);
    QCOMPARE(countries.at(indexOf(countries, QStringLiteral("GB"))).phoneCode, 44);
    QCOMPARE(Countries::phoneCode(QStringLiteral("ZZ")), std::nullopt);
    QCOMPARE(Countries::phoneCode(QStringLiteral("001")), std::nullopt);
}

void tst_AuthCountries::namesAndOrderFollowTheLanguage()
{
    QCOMPARE(Countries::localizedName(QStringLiteral("DE"), QLocale(QStringLiteral("de_DE"))),
             QStringLiteral("Deutschland"));
    QCOMPARE(Countries::localizedName(QStringLiteral("DE"), QLocale(QStringLiteral("fr_FR"))),
             QStringLiteral("Allemagne"));
    QCOMPARE(Countries::localizedName(QStringLiteral("JP"), QLocale(QStringLiteral("ja_JP"))),
             QStringLiteral("日本"));
    QCOMPARE(Countries::localizedName(QStringLiteral("DE"), QLocale::c()), QStringLiteral("Germany"));

    // German sorts Ö with O: Österreich comes between Oman and Pakistan, not
    // after Z as the code points would put it.
    const QList<Country> german = Countries(QLocale(QStringLiteral("de_DE"))).all();
    const qsizetype austria = indexOf(german, QStringLiteral("AT"));
    QCOMPARE(german.at(austria).localizedName, QStringLiteral("Österreich"));
    QVERIFY(indexOf(german, QStringLiteral("OM")) < austria);
    QVERIFY(austria < indexOf(german, QStringLiteral("PK")));
    QVERIFY(austria < indexOf(german, QStringLiteral("ZA")));
    // The same order every time.
    const QList<Country> again = Countries(QLocale(QStringLiteral("de_DE"))).all();
    for (qsizetype i = 0; i < german.size(); ++i)
        QCOMPARE(again.at(i).regionCode, german.at(i).regionCode);
}

void tst_AuthCountries::currentCountryComesFromTheLocale()
{
    const std::optional<Country> france = Countries(QLocale(QStringLiteral("fr_FR"))).current();
    QVERIFY(france);
    QCOMPARE(france->regionCode, QStringLiteral("FR"));
    QCOMPARE(france->phoneCode, 33);
    QCOMPARE(france->localizedName, QStringLiteral("France"));

    const std::optional<Country> swiss = Countries(QLocale(QStringLiteral("it_CH"))).current();
    QVERIFY(swiss);
    QCOMPARE(swiss->phoneCode, 41);
    QCOMPARE(swiss->localizedName, QStringLiteral("Svizzera"));

    // The C locale names no country.
    QCOMPARE(Countries(QLocale::c()).current().has_value(), false);
}

void tst_AuthCountries::flagsAreDrawnFromTheEmojiFont()
{
    if (!QFontDatabase::families().contains(QStringLiteral("Noto Color Emoji")))
        QSKIP("fonts-noto-color-emoji is not installed");
    const QIcon france = Countries::flagImage(QStringLiteral("FR"));
    QVERIFY(!france.isNull());
    const QImage flag = france.pixmap(QSize(16, 16), 1.0).toImage();
    QCOMPARE(flag.size(), QSize(16, 16));
    // Blue, white and red, left to right, in the middle row.
    const QColor left = flag.pixelColor(4, 8);
    const QColor right = flag.pixelColor(12, 8);
    QVERIFY2(left.blue() > left.red() + 60, qPrintable(left.name()));
    QVERIFY2(right.red() > right.blue() + 60, qPrintable(right.name()));
    // The sharp variant for HiDPI screens.
    QCOMPARE(france.pixmap(QSize(16, 16), 2.0).size(), QSize(32, 32));
    // The same icon for every later request.
    QCOMPARE(Countries::flagImage(QStringLiteral("FR")).cacheKey(), france.cacheKey());

    // No flag rather than two boxed letters.
    QVERIFY(Countries::flagImage(QStringLiteral("QQ")).isNull());
    QVERIFY(Countries::flagImage(QStringLiteral("F1")).isNull());
}

void tst_AuthCountries::menuOpensInsideTheWindow_data()
{
    QTest::addColumn<QRect>("button");
    QTest::addColumn<QSize>("popup");
    QTest::addColumn<QRect>("expected");
    const QRect window(100, 50, 400, 620);
    QTest::newRow("room below: under the button")
        << QRect(140, 250, 320, 36) << QSize(320, 300) << QRect(140, 286, 320, 300);
    QTest::newRow("no room below: lifted to the window's bottom")
        << QRect(140, 500, 320, 36) << QSize(320, 300) << QRect(140, 370, 320, 300);
    QTest::newRow("taller than the window: the window's height")
        << QRect(140, 250, 320, 36) << QSize(320, 900) << QRect(140, 50, 320, 620);
    QTest::newRow("wider list: kept inside on the right")
        << QRect(140, 250, 320, 36) << QSize(380, 300) << QRect(120, 286, 380, 300);
    QTest::newRow("wider than the window") << QRect(140, 250, 320, 36) << QSize(700, 300)
                                           << QRect(100, 286, 400, 300);
    QTest::newRow("button off to the left") << QRect(40, 250, 320, 36) << QSize(320, 300)
                                            << QRect(100, 286, 320, 300);
}

void tst_AuthCountries::menuOpensInsideTheWindow()
{
    QFETCH(QRect, button);
    QFETCH(QSize, popup);
    QFETCH(QRect, expected);
    const QRect window(100, 50, 400, 620);
    const QRect placed = CountryPopUpButton::confinementRect(button, popup, window);
    QCOMPARE(placed, expected);
    QVERIFY(window.contains(placed));
}

void tst_AuthCountries::phoneScreenBuildsItsMenu()
{
    QLocale::setDefault(QLocale(QStringLiteral("fr_FR")));
    std::unique_ptr<MobileViewController> screen(instantiate<MobileViewController>(AppStoryboard::Auth));
    screen->resize(400, 620);
    screen->loadViewIfNeeded();

    auto *menu = screen->findChild<CountryPopUpButton *>(QStringLiteral("popUpButton"));
    auto *code = screen->findChild<QLabel *>(QStringLiteral("countryCodeLabel"));
    QVERIFY(menu && code);
    QCOMPARE(code->text(), QStringLiteral("+33"));
    QCOMPARE(menu->count(), screen->countries.size());
    QVERIFY(screen->countries.size() > 200);
    QCOMPARE(menu->currentText(), QStringLiteral("France"));
    // French names, French order.
    QCOMPARE(menu->itemText(indexOf(screen->countries, QStringLiteral("DE"))), QStringLiteral("Allemagne"));
    for (int i = 0; i < menu->count(); ++i)
        QCOMPARE(menu->itemData(i).toString(), screen->countries.at(i).regionCode);

    // Choosing a country puts its code in the label; closing without one
    // changes nothing.
    screen->menuDidClose(int(indexOf(screen->countries, QStringLiteral("DE"))));
    QCOMPARE(code->text(), QStringLiteral("+49"));
    screen->menuDidClose(-1);
    QCOMPARE(code->text(), QStringLiteral("+49"));
    menu->setCurrentIndex(int(indexOf(screen->countries, QStringLiteral("JP"))));
    Q_EMIT menu->activated(menu->currentIndex());
    QCOMPARE(code->text(), QStringLiteral("+81"));
}

void tst_AuthCountries::phoneScreenWithoutACurrentCountry()
{
    QLocale::setDefault(QLocale::c());
    std::unique_ptr<MobileViewController> screen(instantiate<MobileViewController>(AppStoryboard::Auth));
    screen->loadViewIfNeeded();
    auto *menu = screen->findChild<CountryPopUpButton *>(QStringLiteral("popUpButton"));
    auto *code = screen->findChild<QLabel *>(QStringLiteral("countryCodeLabel"));
    QVERIFY(menu && code);
    QCOMPARE(code->text(), QString());
    QCOMPARE(menu->currentIndex(), -1);
    QVERIFY(menu->count() > 200);
}

QTEST_MAIN(tst_AuthCountries)
#include "tst_authcountries.moc"
