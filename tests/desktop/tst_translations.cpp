// The German table as the proof of the translation workflow: every message
// the code marks for translation is translated, the compiled tables are in
// the client, and no text a screen shows stays English under German.

#include "ScreenHost.h"

#include "api/Error.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>
#include <QXmlStreamReader>

using namespace Qt::StringLiterals;

using namespace Orvex;

namespace {

struct Message
{
    QString context;
    QString source;
    QString state; // the translation's type: empty when finished
    QString translation;
};

QList<Message> readTable(const QString &path)
{
    QList<Message> messages;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return messages;
    QXmlStreamReader xml(&file);
    QString context;
    Message message;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            if (xml.name() == "name"_L1)
                context = xml.readElementText();
            else if (xml.name() == "message"_L1)
                message = Message{context, {}, {}, {}};
            else if (xml.name() == "source"_L1)
                message.source = xml.readElementText();
            else if (xml.name() == "translation"_L1) {
                message.state = xml.attributes().value("type"_L1).toString();
                // Plural forms: each <numerusform> must be filled in.
                QString text;
                bool emptyForm = false;
                while (xml.readNext() != QXmlStreamReader::EndElement || xml.name() != "translation"_L1) {
                    if (xml.isCharacters())
                        text += xml.text();
                    else if (xml.isStartElement() && xml.name() == "numerusform"_L1)
                        emptyForm = emptyForm || xml.readElementText().isEmpty();
                }
                message.translation = emptyForm ? QString() : text.trimmed();
                messages << message;
            }
        }
    }
    return messages;
}

// The texts a user sees on `window`: labels, buttons, placeholders, the
// names read out for controls, the window title and the menus.
QSet<QString> visibleTexts(QWidget *window)
{
    QSet<QString> texts;
    const auto add = [&texts](const QString &text) {
        if (!text.trimmed().isEmpty())
            texts << text.trimmed();
    };
    add(window->windowTitle());
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        if (!widget->isVisibleTo(window))
            continue;
        if (auto *label = qobject_cast<QLabel *>(widget))
            add(label->text());
        if (auto *button = qobject_cast<QAbstractButton *>(widget))
            add(button->text());
        if (auto *field = qobject_cast<QLineEdit *>(widget))
            add(field->placeholderText());
        add(widget->toolTip());
        if (QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget))
            add(accessible->text(QAccessible::Name));
    }
    for (QMenuBar *bar : window->findChildren<QMenuBar *>()) {
        for (QAction *menu : bar->actions()) {
            add(menu->text());
            if (menu->menu()) {
                for (QAction *item : menu->menu()->actions())
                    add(item->text());
            }
        }
    }
    return texts;
}

// The same in every language: names, e-mail addresses, numbers, words that
// German shares with English, the product notice from the configuration.
bool isLanguageNeutral(const QString &text)
{
    static const QRegularExpression neutral(u"^([^A-Za-z]*|\\S+@\\S+|Version [0-9.]+)$"_s);
    static const QStringList words{u"Orvex"_s, u"Orvex Cloud"_s, u"OK"_s, u"Support"_s};
    return neutral.match(text).hasMatch() || words.contains(text) || text == Config::current().productNotice;
}

} // namespace

class tst_Translations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void germanTableCoversEveryMessage();
    void compiledTablesAreInTheClient();
    void noScreenStaysEnglishInGerman_data() { ScreenHost::addScreenRows(); }
    void noScreenStaysEnglishInGerman();

private:
    QTemporaryDir m_dir;
    QTranslator m_german;
};

void tst_Translations::initTestCase()
{
    QVERIFY(m_dir.isValid());
    ScreenHost::prepareEnvironment(m_dir.path());
    QVERIFY(m_german.load(QLocale(QLocale::German, QLocale::Germany), u"orvex"_s, u"_"_s, u":/i18n"_s));
}

void tst_Translations::cleanup()
{
    QCoreApplication::removeTranslator(&m_german);
    QLocale::setDefault(QLocale::c());
}

void tst_Translations::germanTableCoversEveryMessage()
{
    // Extract afresh from the code into a copy of the table, as the
    // update_translations target does, and look at what is left to do.
    const QString copy = m_dir.filePath(u"orvex_de.ts"_s);
    QFile::remove(copy);
    QVERIFY(QFile::copy(QStringLiteral(ORVEX_SOURCE_DIR "/resources/translations/orvex_de.ts"), copy));
    QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
    QProcess lupdate;
    lupdate.start(QStringLiteral(ORVEX_LUPDATE), {u"-no-obsolete"_s, u"-locations"_s, u"none"_s,
                                                  QStringLiteral(ORVEX_SOURCE_DIR "/src"), u"-ts"_s, copy});
    QVERIFY(lupdate.waitForFinished(120000));
    QVERIFY2(lupdate.exitCode() == 0, lupdate.readAllStandardError().constData());

    const QList<Message> messages = readTable(copy);
    QVERIFY(messages.size() > 50);
    QStringList untranslated;
    for (const Message &message : messages) {
        if (!message.state.isEmpty() || message.translation.isEmpty())
            untranslated << message.context + u": "_s + message.source;
    }
    QVERIFY2(untranslated.isEmpty(),
             qPrintable(
                 QStringLiteral("%1 messages without a German translation (run the update_translations "
                                "target, translate them in Linguist):\n")
                     .arg(untranslated.size())
                 + untranslated.join(u'\n')));
}

void tst_Translations::compiledTablesAreInTheClient()
{
    // Every table in resources/translations is compiled in, where main()
    // looks for the desktop's language.
    const QStringList tables = QDir(QStringLiteral(ORVEX_SOURCE_DIR "/resources/translations"))
                                   .entryList({u"orvex_*.ts"_s});
    QVERIFY(!tables.isEmpty());
    for (QString table : tables) {
        table.replace(u".ts"_s, u".qm"_s);
        QVERIFY2(QFile::exists(u":/i18n/"_s + table), qPrintable(table));
    }

    // German, Austrian and Swiss German desktops get the German table; an
    // English one gets none and shows the source texts.
    for (const QLocale &locale :
         {QLocale(QLocale::German, QLocale::Austria), QLocale(QLocale::German, QLocale::Switzerland)}) {
        QTranslator translator;
        QVERIFY(translator.load(locale, u"orvex"_s, u"_"_s, u":/i18n"_s));
    }
    QTranslator english;
    QVERIFY(!english.load(QLocale(QLocale::English, QLocale::UnitedStates), u"orvex"_s, u"_"_s, u":/i18n"_s));

    // The error catalogue, marked with QT_TRANSLATE_NOOP, comes out in German.
    const QString english_ = Error(Error::Code::invalidPassword).localizedDescription();
    QCoreApplication::installTranslator(&m_german);
    const QString german = Error(Error::Code::invalidPassword).localizedDescription();
    QVERIFY(!german.isEmpty());
    QVERIFY2(german != english_, qPrintable(german));
}

void tst_Translations::noScreenStaysEnglishInGerman()
{
    QFETCH(int, index);
    const ScreenHost::Screen &which = ScreenHost::screens().at(index);
    QSet<QString> english;
    {
        ScreenHost::ShownScreen shown(which);
        QVERIFY(shown.isReady());
        english = visibleTexts(shown.window());
    }
    QCoreApplication::installTranslator(&m_german);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    ScreenHost::ShownScreen shown(which);
    QVERIFY(shown.isReady());
    const QSet<QString> german = visibleTexts(shown.window());
    QVERIFY(!german.isEmpty());
    QStringList stillEnglish;
    for (const QString &text : german) {
        if (english.contains(text) && !isLanguageNeutral(text))
            stillEnglish << text;
    }
    stillEnglish.sort();
    QVERIFY2(stillEnglish.isEmpty(),
             qPrintable(u"shown in English under German:\n"_s + stillEnglish.join(u'\n')));
}

QTEST_MAIN(tst_Translations)

#include "tst_translations.moc"
