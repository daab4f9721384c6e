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

using namespace Qt::StringLiterals;

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
    const QList<Country> countries = Countries(QLocale(u"en_US"_s)).all();
    QVERIFY(countries.size() > 200);
    QSet<QString> seen;
    for (const Country &country : countries) {
        QVERIFY2(country.phoneCode && *country.phoneCode > 0, qPrintable(country.regionCode));
        QCOMPARE(country.regionCode.size(), 2);
        QVERIFY(!country.localizedName.isEmpty());
        seen.insert(country.regionCode);
    }
    QCOMPARE(seen.size(), countries.size());
    QCOMPARE(countries.at(indexOf(countries, u"FR"_s)).phoneCode, 33);
    QCOMPARE(countries.at(indexOf(countries, u"US"_s)).phoneCode, 1);
    QCOMPARE(countries.at(indexOf(countries, u"GB"_s)).phoneCode, 44);
    QCOMPARE(Countries::phoneCode(u"ZZ"_s), std::nullopt);
    QCOMPARE(Countries::phoneCode(u"001"_s), std::nullopt);
}

void tst_AuthCountries::namesAndOrderFollowTheLanguage()
{
    QCOMPARE(Countries::localizedName(u"DE"_s, QLocale(u"de_DE"_s)), u"Deutschland"_s);
    QCOMPARE(Countries::localizedName(u"DE"_s, QLocale(u"fr_FR"_s)), u"Allemagne"_s);
    QCOMPARE(Countries::localizedName(u"JP"_s, QLocale(u"ja_JP"_s)), u"日本"_s);
    QCOMPARE(Countries::localizedName(u"DE"_s, QLocale::c()), u"Germany"_s);

    // German sorts Ö with O: Österreich comes between Oman and Pakistan, not
    // after Z as the code points would put it.
    const QList<Country> german = Countries(QLocale(u"de_DE"_s)).all();
    const qsizetype austria = indexOf(german, u"AT"_s);
    QCOMPARE(german.at(austria).localizedName, u"Österreich"_s);
    QVERIFY(indexOf(german, u"OM"_s) < austria);
    QVERIFY(austria < indexOf(german, u"PK"_s));
    QVERIFY(austria < indexOf(german, u"ZA"_s));
    // The same order every time.
    const QList<Country> again = Countries(QLocale(u"de_DE"_s)).all();
    for (qsizetype i = 0; i < german.size(); ++i)
        QCOMPARE(again.at(i).regionCode, german.at(i).regionCode);
}

void tst_AuthCountries::currentCountryComesFromTheLocale()
{
    const std::optional<Country> france = Countries(QLocale(u"fr_FR"_s)).current();
    QVERIFY(france);
    QCOMPARE(france->regionCode, u"FR"_s);
    QCOMPARE(france->phoneCode, 33);
    QCOMPARE(france->localizedName, u"France"_s);

    const std::optional<Country> swiss = Countries(QLocale(u"it_CH"_s)).current();
    QVERIFY(swiss);
    QCOMPARE(swiss->phoneCode, 41);
    QCOMPARE(swiss->localizedName, u"Svizzera"_s);

    // The C locale names no country.
    QCOMPARE(Countries(QLocale::c()).current().has_value(), false);
}

void tst_AuthCountries::flagsAreDrawnFromTheEmojiFont()
{
    if (!QFontDatabase::families().contains(u"Noto Color Emoji"_s))
        QSKIP("fonts-noto-color-emoji is not installed");
    const QIcon france = Countries::flagImage(u"FR"_s);
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
    QCOMPARE(Countries::flagImage(u"FR"_s).cacheKey(), france.cacheKey());

    // No flag rather than two boxed letters.
    QVERIFY(Countries::flagImage(u"QQ"_s).isNull());
    QVERIFY(Countries::flagImage(u"F1"_s).isNull());
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
    QTest::newRow("wider than the window")
        << QRect(140, 250, 320, 36) << QSize(700, 300) << QRect(100, 286, 400, 300);
    QTest::newRow("button off to the left")
        << QRect(40, 250, 320, 36) << QSize(320, 300) << QRect(100, 286, 320, 300);
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
    QLocale::setDefault(QLocale(u"fr_FR"_s));
    std::unique_ptr<MobileViewController> screen(instantiate<MobileViewController>(AppStoryboard::Auth));
    screen->resize(400, 620);
    screen->loadViewIfNeeded();

    auto *menu = screen->findChild<CountryPopUpButton *>(u"popUpButton"_s);
    auto *code = screen->findChild<QLabel *>(u"countryCodeLabel"_s);
    QVERIFY(menu && code);
    QCOMPARE(code->text(), u"+33"_s);
    QCOMPARE(menu->count(), screen->countries.size());
    QVERIFY(screen->countries.size() > 200);
    QCOMPARE(menu->currentText(), u"France"_s);
    // French names, French order.
    QCOMPARE(menu->itemText(indexOf(screen->countries, u"DE"_s)), u"Allemagne"_s);
    for (int i = 0; i < menu->count(); ++i)
        QCOMPARE(menu->itemData(i).toString(), screen->countries.at(i).regionCode);

    // Choosing a country puts its code in the label; closing without one
    // changes nothing.
    screen->menuDidClose(int(indexOf(screen->countries, u"DE"_s)));
    QCOMPARE(code->text(), u"+49"_s);
    screen->menuDidClose(-1);
    QCOMPARE(code->text(), u"+49"_s);
    menu->setCurrentIndex(int(indexOf(screen->countries, u"JP"_s)));
    Q_EMIT menu->activated(menu->currentIndex());
    QCOMPARE(code->text(), u"+81"_s);
}

void tst_AuthCountries::phoneScreenWithoutACurrentCountry()
{
    QLocale::setDefault(QLocale::c());
    std::unique_ptr<MobileViewController> screen(instantiate<MobileViewController>(AppStoryboard::Auth));
    screen->loadViewIfNeeded();
    auto *menu = screen->findChild<CountryPopUpButton *>(u"popUpButton"_s);
    auto *code = screen->findChild<QLabel *>(u"countryCodeLabel"_s);
    QVERIFY(menu && code);
    QCOMPARE(code->text(), QString());
    QCOMPARE(menu->currentIndex(), -1);
    QVERIFY(menu->count() > 200);
}

QTEST_MAIN(tst_AuthCountries)
#include "tst_authcountries.moc"
