// The account screens' fields and their local checks: the rules the fields
// carry (what counts as one character, what ICU's \S lets through), the phone
// field's typing filter, the fields on a real, focused widget (offscreen: the
// editing shortcuts, the caret colour, the password fields' reliance on the
// toolkit), and the phone screen's countries (libphonenumber's regions with
// their calling codes, ICU's names in the user's language and order, the emoji
// flags, the current country from the locale, the menu built from them).

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
        QApplication::setActiveWindow(&widget);
        field->setFocus(Qt::OtherFocusReason);
        return QTest::qWaitFor([field] { return field->hasFocus(); });
    }
};

int pixelsNear(const QImage &image, const QColor &colour)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (qAbs(pixel.red() - colour.red()) < 40 && qAbs(pixel.green() - colour.green()) < 40
                && qAbs(pixel.blue() - colour.blue()) < 40)
                ++count;
        }
    }
    return count;
}

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
    void initTestCase();
    void cleanup();
    void email_data();
    void email();
    void lengthsCountUserPerceivedCharacters_data();
    void lengthsCountUserPerceivedCharacters();
    void formatterRules_data();
    void formatterRules();
    void integerValue_data();
    void integerValue();

    void shortcutsActOnTheFocusedFieldBeforeWindowShortcuts();
    void caretTakesTheTextColourOrBlack();
    void passwordFieldsLeaveShortcutsToTheToolkit();
    void phoneFieldFiltersTyping();

    void everyRegionHasACallingCode();
    void namesAndOrderFollowTheLanguage();
    void currentCountryComesFromTheLocale();
    void flagsAreDrawnFromTheEmojiFont();
    void menuOpensInsideTheWindow_data();
    void menuOpensInsideTheWindow();
    void phoneScreenBuildsItsMenu();

private:
    TestSession m_session;
};

void tst_AuthValidators::initTestCase()
{
    // A caret that does not blink, so a picture taken any time shows it.
    QApplication::setCursorFlashTime(0);
}

void tst_AuthValidators::cleanup()
{
    QLocale::setDefault(QLocale::system());
}

void tst_AuthValidators::email_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << u"ann@example.com"_s << true;
    QTest::newRow("shortest") << u"a@b.cd"_s << true;
    QTest::newRow("sub-domain, digits at the end") << u"ann.b+vpn@mail.example.c0m"_s << true;
    QTest::newRow("non-Latin local part") << u"анна@example.com"_s << true;
    QTest::newRow("two @ (\\S takes the first)") << u"ann@@example.com"_s << true;
    QTest::newRow("one-letter top-level part") << u"ann@example.c"_s << false;
    QTest::newRow("no dot after @") << u"ann@example"_s << false;
    QTest::newRow("no @") << u"ann.example.com"_s << false;
    QTest::newRow("space inside") << u"ann @example.com"_s << false;
    QTest::newRow("space in domain") << u"ann@exa mple.com"_s << false;
    QTest::newRow("trailing space: whole text") << u"ann@example.com "_s << false;
    QTest::newRow("leading space: whole text") << u" ann@example.com"_s << false;
    QTest::newRow("trailing line feed") << u"ann@example.com\n"_s << false;
    QTest::newRow("no-break space is a separator") << u"ann\u00A0b@example.com"_s << false;
    QTest::newRow("ideographic space") << u"ann\u3000b@example.com"_s << false;
    // ICU's \s is Unicode's White_Space: the vertical tab and NEL are white
    // space, the zero-width space and the Mongolian vowel separator (no
    // longer a space since Unicode 6.3, still one for PCRE's \h) are not.
    QTest::newRow("vertical tab") << u"ann\u000Bb@example.com"_s << false;
    QTest::newRow("next line (NEL)") << u"ann\u0085b@example.com"_s << false;
    QTest::newRow("zero-width space is \\S") << u"ann\u200Bb@example.com"_s << true;
    QTest::newRow("Mongolian vowel separator is \\S") << u"ann\u180Eb@example.com"_s << true;
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
    const QString flag = u"\U0001F1EB\U0001F1F7"_s;

    QTest::newRow("password: 4 letters") << password << u"abcd"_s << 4 << false;
    QTest::newRow("password: 5 letters") << password << u"abcde"_s << 5 << true;
    QTest::newRow("password: empty") << password << QString() << 0 << false;
    QTest::newRow("password: 4 emoji with modifiers") << password << thumb.repeated(4) << 4 << false;
    QTest::newRow("password: 5 emoji with modifiers") << password << thumb.repeated(5) << 5 << true;
    QTest::newRow("password: 4 combining sequences") << password << accented.repeated(4) << 4 << false;
    QTest::newRow("password: 5 combining sequences") << password << accented.repeated(5) << 5 << true;
    QTest::newRow("password: 4 flags") << password << flag.repeated(4) << 4 << false;
    QTest::newRow("password: family emoji + 3") << password << (family + u"abc"_s) << 4 << false;
    QTest::newRow("password: family emoji + 4") << password << (family + u"abcd"_s) << 5 << true;
    QTest::newRow("password: 4 umlauts (8 bytes)") << password << u"ääää"_s << 4 << false;
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
    QTest::newRow("digit") << u"6"_s << 1 << QString() << true;
    QTest::newRow("ninth digit") << u"612345678"_s << 9 << u"61234567"_s << true;
    QTest::newRow("tenth digit") << u"6123456789"_s << 10 << u"612345678"_s << false;
    QTest::newRow("full field refuses a replacement") << u"612345670"_s << 9 << u"612345678"_s << false;
    QTest::newRow("letter at the end") << u"61a"_s << 3 << u"61"_s << false;
    QTest::newRow("letter alone") << u"a"_s << 1 << QString() << false;
    QTest::newRow("plus first in an empty field") << u"+"_s << 1 << QString() << true;
    QTest::newRow("plus first before digits") << u"+612"_s << 1 << u"612"_s << true;
    QTest::newRow("plus in the middle") << u"6+12"_s << 2 << u"612"_s << false;
    QTest::newRow("second plus") << u"+6+"_s << 3 << u"+6"_s << false;
    QTest::newRow("digit after the plus") << u"+3"_s << 2 << u"+"_s << true;
    QTest::newRow("minus alone") << u"-"_s << 1 << QString() << false;
    QTest::newRow("minus and digit") << u"-5"_s << 2 << u"5"_s << true;
    QTest::newRow("long paste into a short field") << u"33612345678"_s << 11 << u"12"_s << true;
    QTest::newRow("paste with a space") << u"1212 34"_s << 7 << u"12"_s << false;
    QTest::newRow("paste beyond 64 bits") << u"99999999999999999999"_s << 20 << u"9"_s << false;
    QTest::newRow("Arabic-Indic digit") << u"\u0663"_s << 1 << QString() << false;
    QTest::newRow("full-width digit") << u"\uFF11"_s << 1 << QString() << false;
}

void tst_AuthValidators::formatterRules()
{
    QFETCH(QString, proposed);
    QFETCH(int, selectionStart);
    QFETCH(QString, original);
    QFETCH(bool, accepted);
    QCOMPARE(MobileFormatter::isPartialStringValid(proposed, selectionStart, original), accepted);
}

void tst_AuthValidators::integerValue_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("parses");
    QTest::addColumn<qint64>("value");
    QTest::newRow("200") << u"200"_s << true << qint64(200);
    QTest::newRow("leading zeros") << u"000200"_s << true << qint64(200);
    QTest::newRow("plus sign") << u"+200"_s << true << qint64(200);
    QTest::newRow("minus sign") << u"-7"_s << true << qint64(-7);
    QTest::newRow("largest") << u"9223372036854775807"_s << true << std::numeric_limits<qint64>::max();
    QTest::newRow("smallest") << u"-9223372036854775808"_s << true << std::numeric_limits<qint64>::min();
    QTest::newRow("one beyond") << u"9223372036854775808"_s << false << qint64(0);
    QTest::newRow("text after") << u"200 OK"_s << false << qint64(0);
    QTest::newRow("space before") << u" 200"_s << false << qint64(0);
    QTest::newRow("sign alone") << u"+"_s << false << qint64(0);
    QTest::newRow("two signs") << u"+-2"_s << false << qint64(0);
    QTest::newRow("empty") << QString() << false << qint64(0);
}

void tst_AuthValidators::integerValue()
{
    QFETCH(QString, text);
    QFETCH(bool, parses);
    QFETCH(qint64, value);
    const std::optional<qint64> parsed = MobileFormatter::integerValue(text);
    QCOMPARE(parsed.has_value(), parses);
    if (parses)
        QCOMPARE(*parsed, value);
}

void tst_AuthValidators::shortcutsActOnTheFocusedFieldBeforeWindowShortcuts()
{
    Window window;
    auto *field = window.add<TextField>();
    window.add<TextField>(); // another field, not focused
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

    // The window's own shortcuts for the same keys never fired.
    QCOMPARE(window.triggered, 0);

    // Control + Alt + Z is no shortcut of the field: the window's action gets
    // it and the text stays.
    QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier | Qt::AltModifier);
    QCOMPARE(window.altTriggered, 1);
    QCOMPARE(field->text(), u"pasted"_s);
    // Exactly Control (or Control + Shift for redo): a key of the number pad
    // or an extra Shift is something else.
    QKeyEvent keypad(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier | Qt::KeypadModifier);
    QVERIFY(!field->editAction(&keypad));
    QKeyEvent redo(QEvent::KeyPress, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(field->editAction(&redo), TextField::EditAction::redo);
    QKeyEvent shiftedCopy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(!field->editAction(&shiftedCopy));

    // The rules a field carries are checked on sending, never while typing.
    auto *email = window.add<TextField>();
    email->validator = InputValidator::email;
    email->setFocus(Qt::OtherFocusReason);
    QTest::keyClicks(email, u"not an e-mail"_s);
    QCOMPARE(email->text(), u"not an e-mail"_s);
}

void tst_AuthValidators::caretTakesTheTextColourOrBlack()
{
    Window window;
    auto *coloured = window.add<TextField>();
    auto *plain = window.add<SecureTextField>();
    const QColor red(220, 20, 20);
    coloured->setTextColor(red);
    QVERIFY(window.showAndFocus(coloured));

    // Empty fields: the only pixels in the text colour are the caret's.
    QVERIFY(pixelsNear(coloured->grab().toImage(), red) > 0);
    QCOMPARE(pixelsNear(plain->grab().toImage(), Qt::black), 0);

    plain->setFocus(Qt::OtherFocusReason);
    QTRY_VERIFY(plain->hasFocus());
    QCOMPARE(plain->textColor(), std::nullopt);
    QCOMPARE(plain->palette().color(QPalette::Text), QColor(Qt::black));
    QVERIFY(pixelsNear(plain->grab().toImage(), Qt::black) > 0);
    QCOMPARE(pixelsNear(coloured->grab().toImage(), red), 0);
}

void tst_AuthValidators::passwordFieldsLeaveShortcutsToTheToolkit()
{
    Window window;
    auto *field = window.add<SecureTextField>();
    QVERIFY(window.showAndFocus(field));
    QCOMPARE(field->echoMode(), QLineEdit::Password);
    QApplication::clipboard()->setText(u"before"_s);
    QTest::keyClicks(field, u"secret"_s);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_C, Qt::ControlModifier);
    // A hidden text never reaches the clipboard.
    QCOMPARE(QApplication::clipboard()->text(), u"before"_s);
    QCOMPARE(field->text(), u"secret"_s);
    QTest::keyClick(field, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), u"before"_s);
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(field->text(), u"before"_s);
}

void tst_AuthValidators::phoneFieldFiltersTyping()
{
    Window window;
    auto *field = window.add<MobileTextField>();
    QVERIFY(window.showAndFocus(field));
    QVERIFY(field->formatter());
    QCOMPARE(field->validator, std::nullopt); // the screen gives it the mobile rule

    QTest::keyClicks(field, u"61a2b3"_s);
    QCOMPARE(field->text(), u"6123"_s);
    QTest::keyClicks(field, u"456789"_s);
    QCOMPARE(field->text(), u"612345678"_s);
    QTest::keyClick(field, Qt::Key_0); // a tenth digit
    QCOMPARE(field->text(), u"612345678"_s);
    QTest::keyClick(field, Qt::Key_Backspace);
    QCOMPARE(field->text(), u"61234567"_s);

    // A "+" typed first is taken; in the middle it is not.
    field->clear();
    QTest::keyClicks(field, u"+33"_s);
    QCOMPARE(field->text(), u"+33"_s);
    QTest::keyClicks(field, u"+"_s);
    QCOMPARE(field->text(), u"+33"_s);
    field->setCursorPosition(0);
    field->clear();
    QTest::keyClicks(field, u"612"_s);
    field->setCursorPosition(0);
    QTest::keyClick(field, Qt::Key_Plus);
    QCOMPARE(field->text(), u"+612"_s);

    // Pasting into a short field is judged as a whole number.
    field->setText(u"12"_s);
    field->end(false);
    QApplication::clipboard()->setText(u"33612345678"_s);
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(field->text(), u"1233612345678"_s);
    field->setText(u"12"_s);
    field->end(false);
    QApplication::clipboard()->setText(u"34 56"_s);
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(field->text(), u"12"_s);

    // A full field still answers Enter.
    QSignalSpy entered(field, &QLineEdit::returnPressed);
    field->setText(u"612345678"_s);
    QVERIFY(field->hasAcceptableInput());
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(entered.size(), 1);
}

void tst_AuthValidators::everyRegionHasACallingCode()
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

void tst_AuthValidators::namesAndOrderFollowTheLanguage()
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

void tst_AuthValidators::currentCountryComesFromTheLocale()
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

void tst_AuthValidators::flagsAreDrawnFromTheEmojiFont()
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

void tst_AuthValidators::menuOpensInsideTheWindow_data()
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
    std::unique_ptr<MobileViewController> bare(instantiate<MobileViewController>(AppStoryboard::Auth));
    bare->loadViewIfNeeded();
    QCOMPARE(bare->findChild<QLabel *>(u"countryCodeLabel"_s)->text(), QString());
    QCOMPARE(bare->findChild<CountryPopUpButton *>(u"popUpButton"_s)->currentIndex(), -1);

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

QTEST_MAIN(tst_AuthValidators)
#include "tst_authvalidators.moc"
