// The account screens' fields and their local checks, on real focused widgets
// (offscreen), and the phone screen's countries and their menu.

#include "ui/AppStoryboard.h"
#include "account/CountryPopUpButton.h"
#include "account/InputValidator.h"
#include "account/MobileFormatter.h"
#include "account/MobileTextField.h"
#include "account/MobileViewController.h"
#include "account/SecureTextField.h"
#include "account/TextField.h"
#include "platform/Countries.h"
#include "TestSession.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QLabel>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

using namespace Orvex;

namespace {
// A window with fields and, like the real menu bar, window-wide shortcuts
// that must not take the editing keys away from a focused field.
struct Window
{
    QWidget widget;
    QVBoxLayout *layout = new QVBoxLayout(&widget);
    QAction *selectAllAction = new QAction(&widget);
    QAction *undoAction = new QAction(&widget);
    QAction *redoAction = new QAction(&widget);
    QAction *altUndoAction = new QAction(&widget);
    int triggered = 0;
    int altTriggered = 0;

    Window()
    {
        widget.resize(360, 200);
        selectAllAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
        undoAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
        redoAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
        altUndoAction->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_Z));
        for (QAction *action : {selectAllAction, undoAction, redoAction}) {
            widget.addAction(action);
            QObject::connect(action, &QAction::triggered, [this] { ++triggered; });
        }
        widget.addAction(altUndoAction);
        QObject::connect(altUndoAction, &QAction::triggered, [this] { ++altTriggered; });
    }

    template<typename Field>
    Field *add()
    {
        auto *field = new Field(&widget);
        layout->addWidget(field);
        return field;
    }

    bool showAndFocus(QWidget *field)
    {
        widget.show();
        if (!QTest::qWaitForWindowExposed(&widget))
            return false;
        widget.activateWindow();
        if (!QTest::qWaitForWindowActive(&widget))
            return false;
        field->setFocus(Qt::OtherFocusReason);
        return QTest::qWaitFor([field] { return field->hasFocus(); });
    }
};

qsizetype indexOf(const QList<Country> &countries, const QString &regionCode)
{
    for (qsizetype i = 0; i < countries.size(); ++i) {
        if (countries.at(i).regionCode == regionCode)
            return i;
    }
    return -1;
}

} // namespace

class tst_AuthValidators : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QLocale::setDefault(QLocale::system()); }
    void email_data();
    void email();
    void lengthsCountUserPerceivedCharacters_data();
    void lengthsCountUserPerceivedCharacters();
    void formatterRules_data();
    void formatterRules();

    void fieldsTakeTheEditingKeysFromTheWindow();

    void countriesFollowTheLanguage();
    void menuOpensInsideTheWindow_data();
    void menuOpensInsideTheWindow();
    void phoneScreenBuildsItsMenu();

private:
    TestSession m_session;
};

void tst_AuthValidators::email_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << u"ann@example.com"_s << true;
    QTest::newRow("sub-domain, digits at the end") << u"ann.b+vpn@mail.example.c0m"_s << true;
    QTest::newRow("non-Latin local part") << u"анна@example.com"_s << true;
    QTest::newRow("two @ (\\S takes the first)") << u"ann@@example.com"_s << true;
    QTest::newRow("one-letter top-level part") << u"ann@example.c"_s << false;
    QTest::newRow("no dot after @") << u"ann@example"_s << false;
    QTest::newRow("no @") << u"ann.example.com"_s << false;
    QTest::newRow("space inside") << u"ann @example.com"_s << false;
    QTest::newRow("trailing space: whole text") << u"ann@example.com "_s << false;
    QTest::newRow("trailing line feed") << u"ann@example.com\n"_s << false;
    QTest::newRow("no-break space is a separator") << u"ann\u00A0b@example.com"_s << false;
    QTest::newRow("zero-width space is \\S") << u"ann\u200Bb@example.com"_s << true;
    QTest::newRow("non-ASCII top-level part") << u"ann@example.рф"_s << false;
    QTest::newRow("empty") << QString() << false;
}

void tst_AuthValidators::email()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(InputValidator(InputValidator::email).isValid(text), valid);
}

void tst_AuthValidators::lengthsCountUserPerceivedCharacters_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("characters");
    QTest::addColumn<bool>("valid");

    const auto password = int(InputValidator::password);
    const auto mobile = int(InputValidator::mobile);
    const QString thumb = u"\U0001F44D\U0001F3FD"_s; // with a skin tone: 4 UTF-16 units
    const QString family = u"\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466"_s;
    const QString accented = u"e\u0301"_s; // e + combining acute accent

    QTest::newRow("password: 4 letters") << password << u"abcd"_s << 4 << false;
    QTest::newRow("password: 5 letters") << password << u"abcde"_s << 5 << true;
    QTest::newRow("password: 4 emoji with modifiers") << password << thumb.repeated(4) << 4 << false;
    QTest::newRow("password: 4 combining sequences") << password << accented.repeated(4) << 4 << false;
    QTest::newRow("password: family emoji + 4") << password << (family + u"abcd"_s) << 5 << true;
    QTest::newRow("password: CRLF is one") << password << u"abc\r\n"_s << 4 << false;

    QTest::newRow("mobile: 9 digits") << mobile << u"612345678"_s << 9 << true;
    QTest::newRow("mobile: 8 digits") << mobile << u"61234567"_s << 8 << false;
    QTest::newRow("mobile: 10 digits") << mobile << u"6123456789"_s << 10 << false;
    QTest::newRow("mobile: sign counts") << mobile << u"+12345678"_s << 9 << true;
    QTest::newRow("mobile: any 9 characters") << mobile << (u"1234567"_s + thumb + accented) << 9 << true;
}

void tst_AuthValidators::lengthsCountUserPerceivedCharacters()
{
    QFETCH(int, kind);
    QFETCH(QString, text);
    QFETCH(int, characters);
    QFETCH(bool, valid);
    QCOMPARE(InputValidator::characterCount(text), characters);
    QCOMPARE(InputValidator(InputValidator::Kind(kind)).isValid(text), valid);
}

void tst_AuthValidators::formatterRules_data()
{
    QTest::addColumn<QString>("proposed");
    QTest::addColumn<int>("selectionStart");
    QTest::addColumn<QString>("original");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("cleared") << QString() << 0 << u"12345"_s << true;
    QTest::newRow("deletion, even leaving junk") << u"1a"_s << 2 << u"1a3"_s << true;
    QTest::newRow("ninth digit") << u"612345678"_s << 9 << u"61234567"_s << true;
    QTest::newRow("tenth digit") << u"6123456789"_s << 10 << u"612345678"_s << false;
    QTest::newRow("full field refuses a replacement") << u"612345670"_s << 9 << u"612345678"_s << false;
    QTest::newRow("letter at the end") << u"61a"_s << 3 << u"61"_s << false;
    QTest::newRow("plus first in an empty field") << u"+"_s << 1 << QString() << true;
    QTest::newRow("plus first before digits") << u"+612"_s << 1 << u"612"_s << true;
    QTest::newRow("plus in the middle") << u"6+12"_s << 2 << u"612"_s << false;
    QTest::newRow("minus alone") << u"-"_s << 1 << QString() << false;
    QTest::newRow("minus and digit") << u"-5"_s << 2 << u"5"_s << true;
    QTest::newRow("long paste into a short field") << u"33612345678"_s << 11 << u"12"_s << true;
    QTest::newRow("paste with a space") << u"1212 34"_s << 7 << u"12"_s << false;
    QTest::newRow("paste beyond 64 bits") << u"99999999999999999999"_s << 20 << u"9"_s << false;
    QTest::newRow("Arabic-Indic digit") << u"\u0663"_s << 1 << QString() << false;
}

void tst_AuthValidators::formatterRules()
{
    QFETCH(QString, proposed);
    QFETCH(int, selectionStart);
    QFETCH(QString, original);
    QFETCH(bool, accepted);
    QCOMPARE(MobileFormatter::isPartialStringValid(proposed, selectionStart, original), accepted);
}

// Editing keys act on the focused field before the window's shortcuts; a
// password field keeps its text off the clipboard; the phone field applies
// the formatter's table to typing and, full, still answers Enter.
void tst_AuthValidators::fieldsTakeTheEditingKeysFromTheWindow()
{
    Window window;
    auto *field = window.add<TextField>();
    auto *password = window.add<SecureTextField>();
    auto *phone = window.add<MobileTextField>();
    QVERIFY(window.showAndFocus(field));
    QClipboard *clipboard = QApplication::clipboard();
    clipboard->setText(u"before"_s);

    QTest::keyClicks(field, u"hello world"_s);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(field->selectedText(), u"hello world"_s);
    QTest::keyClick(field, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), u"hello world"_s);
    QTest::keyClick(field, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(field->text(), QString());
    QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier); // undo the cut
    QCOMPARE(field->text(), u"hello world"_s);
    QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier); // redo it
    QCOMPARE(field->text(), QString());
    clipboard->setText(u"pasted"_s);
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(field->text(), u"pasted"_s);
    QCOMPARE(window.triggered, 0);
    // Control + Alt + Z is no shortcut of the field: the window's action gets
    // it and the text stays.
    QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier | Qt::AltModifier);
    QCOMPARE(window.altTriggered, 1);
    QCOMPARE(field->text(), u"pasted"_s);
    // The rules a field carries are checked on sending, never while typing.
    field->validator = InputValidator::email;
    QTest::keyClicks(field, u" not an e-mail"_s);
    QCOMPARE(field->text(), u"pasted not an e-mail"_s);

    QVERIFY(window.showAndFocus(password));
    QCOMPARE(password->echoMode(), QLineEdit::Password);
    clipboard->setText(u"before"_s);
    QTest::keyClicks(password, u"secret"_s);
    QTest::keyClick(password, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(password, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), u"before"_s);
    QCOMPARE(password->text(), u"secret"_s);
    QTest::keyClick(password, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), u"before"_s);
    QTest::keyClick(password, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(password->text(), u"before"_s);

    QVERIFY(window.showAndFocus(phone));
    QCOMPARE(phone->validator, std::nullopt); // the screen gives it the mobile rule
    QTest::keyClicks(phone, u"61a2b3"_s);
    QCOMPARE(phone->text(), u"6123"_s);
    QTest::keyClicks(phone, u"4567890"_s); // a tenth digit
    QCOMPARE(phone->text(), u"612345678"_s);
    QSignalSpy entered(phone, &QLineEdit::returnPressed);
    QTest::keyClick(phone, Qt::Key_Return);
    QCOMPARE(entered.size(), 1);
    phone->clear();
    QTest::keyClicks(phone, u"612"_s);
    phone->setCursorPosition(0);
    QTest::keyClick(phone, Qt::Key_Plus);
    QCOMPARE(phone->text(), u"+612"_s);
}

// libphonenumber's regions with their calling codes, named and ordered by
// ICU in the user's language, and their emoji flags.
void tst_AuthValidators::countriesFollowTheLanguage()
{
    const QList<Country> countries = Countries(QLocale(u"en_US"_s)).all();
    QVERIFY(countries.size() > 200);
    QSet<QString> seen;
    for (const Country &country : countries) {
        QVERIFY2(country.phoneCode && *country.phoneCode > 0, qPrintable(country.regionCode));
        seen.insert(country.regionCode);
    }
    QCOMPARE(seen.size(), countries.size());
    QCOMPARE(countries.at(indexOf(countries, u"GB"_s)).phoneCode, 44);
    QCOMPARE(Countries::phoneCode(u"001"_s), std::nullopt);

    QCOMPARE(Countries::localizedName(u"JP"_s, QLocale(u"ja_JP"_s)), u"日本"_s);
    QCOMPARE(Countries::localizedName(u"DE"_s, QLocale::c()), u"Germany"_s);
    // German sorts Ö with O: Österreich comes between Oman and Pakistan, not
    // after Z as the code points would put it.
    const QList<Country> german = Countries(QLocale(u"de_DE"_s)).all();
    const qsizetype austria = indexOf(german, u"AT"_s);
    QCOMPARE(german.at(austria).localizedName, u"Österreich"_s);
    QVERIFY(indexOf(german, u"OM"_s) < austria);
    QVERIFY(austria < indexOf(german, u"PK"_s));
    QCOMPARE(Countries(QLocale(u"it_CH"_s)).current()->localizedName, u"Svizzera"_s);

    if (!QFontDatabase::families().contains(u"Noto Color Emoji"_s))
        QSKIP("fonts-noto-color-emoji is not installed");
    const QImage flag = Countries::flagImage(u"FR"_s).pixmap(QSize(16, 16), 1.0).toImage();
    // Blue, white and red, left to right, in the middle row.
    const QColor left = flag.pixelColor(4, 8);
    const QColor right = flag.pixelColor(12, 8);
    QVERIFY2(left.blue() > left.red() + 60, qPrintable(left.name()));
    QVERIFY2(right.red() > right.blue() + 60, qPrintable(right.name()));
    // No flag rather than two boxed letters.
    QVERIFY(Countries::flagImage(u"QQ"_s).isNull());
}

void tst_AuthValidators::menuOpensInsideTheWindow_data()
{
    QTest::addColumn<QRect>("button");
    QTest::addColumn<QSize>("popup");
    QTest::addColumn<QRect>("expected");
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

void tst_AuthValidators::menuOpensInsideTheWindow()
{
    QFETCH(QRect, button);
    QFETCH(QSize, popup);
    QFETCH(QRect, expected);
    const QRect window(100, 50, 400, 620);
    const QRect placed = CountryPopUpButton::confinementRect(button, popup, window);
    QCOMPARE(placed, expected);
    QVERIFY(window.contains(placed));
}

void tst_AuthValidators::phoneScreenBuildsItsMenu()
{
    // A locale without a country: none chosen, no calling code.
    QLocale::setDefault(QLocale::c());
    std::unique_ptr<MobileViewController> bare(
        instantiate<MobileViewController>(m_session.context, AppStoryboard::Auth));
    bare->loadViewIfNeeded();
    QCOMPARE(bare->findChild<QLabel *>(u"countryCodeLabel"_s)->text(), QString());
    QCOMPARE(bare->findChild<CountryPopUpButton *>(u"popUpButton"_s)->currentIndex(), -1);

    QLocale::setDefault(QLocale(u"fr_FR"_s));
    std::unique_ptr<MobileViewController> screen(
        instantiate<MobileViewController>(m_session.context, AppStoryboard::Auth));
    screen->resize(400, 620);
    screen->loadViewIfNeeded();
    auto *menu = screen->findChild<CountryPopUpButton *>(u"popUpButton"_s);
    auto *code = screen->findChild<QLabel *>(u"countryCodeLabel"_s);
    QVERIFY(menu && code);
    QCOMPARE(code->text(), u"+33"_s);
    QCOMPARE(menu->count(), screen->countries.size());
    QCOMPARE(menu->currentText(), u"France"_s);
    for (int i = 0; i < menu->count(); ++i)
        QCOMPARE(menu->itemData(i).toString(), screen->countries.at(i).regionCode);

    // Choosing a country puts its code in the label (choosing with the menu
    // is the journey's); closing without one changes nothing.
    screen->menuDidClose(int(indexOf(screen->countries, u"DE"_s)));
    QCOMPARE(code->text(), u"+49"_s);
    screen->menuDidClose(-1);
    QCOMPARE(code->text(), u"+49"_s);
}

QTEST_MAIN(tst_AuthValidators)
#include "tst_authvalidators.moc"
