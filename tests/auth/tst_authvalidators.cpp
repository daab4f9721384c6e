// The local checks of the account screens: the rules the fields carry (what
// counts as one character, what ICU's \S lets through) and the phone field's
// typing filter.

#include "account/InputValidator.h"
#include "account/MobileFormatter.h"

#include <QTest>

using namespace Qt::StringLiterals;

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

QTEST_GUILESS_MAIN(tst_AuthValidators)
#include "tst_authvalidators.moc"
