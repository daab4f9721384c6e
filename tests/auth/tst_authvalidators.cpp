// The local checks of the account screens: the rules the fields carry (what
// counts as one character, what ICU's \S lets through) and the phone field's
// typing filter.

#include "account/InputValidator.h"
#include "account/MobileFormatter.h"

#include <QTest>

using namespace Orvex;

class tst_AuthValidators : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void email_data();
    void email();
    void lengthsCountUserPerceivedCharacters_data();
    void lengthsCountUserPerceivedCharacters();
    void formatterRules_data();
    void formatterRules();
    void integerValue_data();
    void integerValue();
};

void tst_AuthValidators::email_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << QStringLiteral("ann@example.com") << true;
    QTest::newRow("shortest") << QStringLiteral("a@b.cd") << true;
    QTest::newRow("sub-domain, digits at the end") << QStringLiteral("ann.b+vpn@mail.example.c0m") << true;
    QTest::newRow("non-Latin local part") << QStringLiteral("анна@example.com") << true;
    QTest::newRow("two @ (\\S takes the first)") << QStringLiteral("ann@@example.com") << true;
    QTest::newRow("one-letter top-level part") << QStringLiteral("ann@example.c") << false;
    QTest::newRow("no dot after @") << QStringLiteral("ann@example") << false;
    QTest::newRow("no @") << QStringLiteral("ann.example.com") << false;
    QTest::newRow("space inside") << QStringLiteral("ann @example.com") << false;
    QTest::newRow("space in domain") << QStringLiteral("ann@exa mple.com") << false;
    QTest::newRow("trailing space: whole text") << QStringLiteral("ann@example.com ") << false;
    QTest::newRow("leading space: whole text") << QStringLiteral(" ann@example.com") << false;
    QTest::newRow("trailing line feed") << QStringLiteral("ann@example.com\n") << false;
    QTest::newRow("no-break space is a separator") << QStringLiteral("ann\u00A0b@example.com") << false;
    QTest::newRow("ideographic space") << QStringLiteral("ann\u3000b@example.com") << false;
    // ICU's \s is Unicode's White_Space: the vertical tab and NEL are white
    // space, the zero-width space and the Mongolian vowel separator (no
    // longer a space since Unicode 6.3, still one for PCRE's \h) are not.
    QTest::newRow("vertical tab") << QStringLiteral("ann\u000Bb@example.com") << false;
    QTest::newRow("next line (NEL)") << QStringLiteral("ann\u0085b@example.com") << false;
    QTest::newRow("zero-width space is \\S") << QStringLiteral("ann\u200Bb@example.com") << true;
    QTest::newRow("Mongolian vowel separator is \\S") << QStringLiteral("ann\u180Eb@example.com") << true;
    QTest::newRow("non-ASCII top-level part") << QStringLiteral("ann@example.рф") << false;
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
    const QString thumb = QStringLiteral("\U0001F44D\U0001F3FD"); // with a skin tone: 4 UTF-16 units
    const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466");
    const QString accented = QStringLiteral("e\u0301"); // e + combining acute accent
    const QString flag = QStringLiteral("\U0001F1EB\U0001F1F7");

    QTest::newRow("password: 4 letters") << password << QStringLiteral("abcd") << 4 << false;
    QTest::newRow("password: 5 letters") << password << QStringLiteral("abcde") << 5 << true;
    QTest::newRow("password: empty") << password << QString() << 0 << false;
    QTest::newRow("password: 4 emoji with modifiers") << password << thumb.repeated(4) << 4 << false;
    QTest::newRow("password: 5 emoji with modifiers") << password << thumb.repeated(5) << 5 << true;
    QTest::newRow("password: 4 combining sequences") << password << accented.repeated(4) << 4 << false;
    QTest::newRow("password: 5 combining sequences") << password << accented.repeated(5) << 5 << true;
    QTest::newRow("password: 4 flags") << password << flag.repeated(4) << 4 << false;
    QTest::newRow("password: family emoji + 3") << password << (family + QStringLiteral("abc")) << 4 << false;
    QTest::newRow("password: family emoji + 4") << password << (family + QStringLiteral("abcd")) << 5 << true;
    QTest::newRow("password: 4 umlauts (8 bytes)") << password << QStringLiteral("ääää") << 4 << false;
    QTest::newRow("password: CRLF is one") << password << QStringLiteral("abc\r\n") << 4 << false;

    QTest::newRow("mobile: 9 digits") << mobile << QStringLiteral("612345678") << 9 << true;
    QTest::newRow("mobile: 8 digits") << mobile << QStringLiteral("61234567") << 8 << false;
    QTest::newRow("mobile: 10 digits") << mobile << QStringLiteral("6123456789") << 10 << false;
    QTest::newRow("mobile: sign counts") << mobile << QStringLiteral("+12345678") << 9 << true;
    QTest::newRow("mobile: any 9 characters") << mobile << (QStringLiteral("1234567") + thumb + accented) << 9 << true;
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

    QTest::newRow("cleared") << QString() << 0 << QStringLiteral("12345") << true;
    QTest::newRow("deletion, even leaving junk") << QStringLiteral("1a") << 2 << QStringLiteral("1a3") << true;
    QTest::newRow("digit") << QStringLiteral("6") << 1 << QString() << true;
    QTest::newRow("ninth digit") << QStringLiteral("612345678") << 9 << QStringLiteral("61234567") << true;
    QTest::newRow("tenth digit") << QStringLiteral("6123456789") << 10 << QStringLiteral("612345678") << false;
    QTest::newRow("full field refuses a replacement")
        << QStringLiteral("612345670") << 9 << QStringLiteral("612345678") << false;
    QTest::newRow("letter at the end") << QStringLiteral("61a") << 3 << QStringLiteral("61") << false;
    QTest::newRow("letter alone") << QStringLiteral("a") << 1 << QString() << false;
    QTest::newRow("plus first in an empty field") << QStringLiteral("+") << 1 << QString() << true;
    QTest::newRow("plus first before digits") << QStringLiteral("+612") << 1 << QStringLiteral("612") << true;
    QTest::newRow("plus in the middle") << QStringLiteral("6+12") << 2 << QStringLiteral("612") << false;
    QTest::newRow("second plus") << QStringLiteral("+6+") << 3 << QStringLiteral("+6") << false;
    QTest::newRow("digit after the plus") << QStringLiteral("+3") << 2 << QStringLiteral("+") << true;
    QTest::newRow("minus alone") << QStringLiteral("-") << 1 << QString() << false;
    QTest::newRow("minus and digit") << QStringLiteral("-5") << 2 << QStringLiteral("5") << true;
    QTest::newRow("long paste into a short field")
        << QStringLiteral("33612345678") << 11 << QStringLiteral("12") << true;
    QTest::newRow("paste with a space") << QStringLiteral("1212 34") << 7 << QStringLiteral("12") << false;
    QTest::newRow("paste beyond 64 bits")
        << QStringLiteral("99999999999999999999") << 20 << QStringLiteral("9") << false;
    QTest::newRow("Arabic-Indic digit") << QStringLiteral("\u0663") << 1 << QString() << false;
    QTest::newRow("full-width digit") << QStringLiteral("\uFF11") << 1 << QString() << false;
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
    QTest::newRow("200") << QStringLiteral("200") << true << qint64(200);
    QTest::newRow("leading zeros") << QStringLiteral("000200") << true << qint64(200);
    QTest::newRow("plus sign") << QStringLiteral("+200") << true << qint64(200);
    QTest::newRow("minus sign") << QStringLiteral("-7") << true << qint64(-7);
    QTest::newRow("largest") << QStringLiteral("9223372036854775807") << true << std::numeric_limits<qint64>::max();
    QTest::newRow("smallest") << QStringLiteral("-9223372036854775808") << true << std::numeric_limits<qint64>::min();
    QTest::newRow("one beyond") << QStringLiteral("9223372036854775808") << false << qint64(0);
    QTest::newRow("text after") << QStringLiteral("200 OK") << false << qint64(0);
    QTest::newRow("space before") << QStringLiteral(" 200") << false << qint64(0);
    QTest::newRow("sign alone") << QStringLiteral("+") << false << qint64(0);
    QTest::newRow("two signs") << QStringLiteral("+-2") << false << qint64(0);
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

QTEST_GUILESS_MAIN(tst_AuthValidators)
#include "tst_authvalidators.moc"
