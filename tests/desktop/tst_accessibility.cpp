// Every screen as a screen reader, a keyboard user and a German reader meet
// it: roles and names in the accessibility tree (what AT-SPI is handed), Tab
// and Enter, markup from outside shown as text, and the German table complete
// and used on every screen (Escape is checked on weston, in tst_wayland).

#include "ProgramRun.h"
#include "ScreenHost.h"

#include "session/DefaultsKeys.h"
#include "api/Error.h"
#include "app/AppWiring.h"
#include "ui/AlertController.h"
#include "platform/UserDefaults.h"
#include "update/UpdateViewController.h"

#include <QAbstractAnimation>
#include <QAbstractButton>
#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTextDocumentFragment>
#include <QTest>
#include <QTranslator>

using namespace Qt::StringLiterals;

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;

namespace {

struct Control
{
    QAccessibleInterface *interface;
    QWidget *widget;
};

bool isControl(QAccessible::Role role)
{
    static const QSet<QAccessible::Role> controls{QAccessible::PushButton,   QAccessible::CheckBox,
                                                  QAccessible::RadioButton,  QAccessible::ComboBox,
                                                  QAccessible::EditableText, QAccessible::SpinBox,
                                                  QAccessible::Slider,       QAccessible::Link,
                                                  QAccessible::ButtonMenu,   QAccessible::ButtonDropDown,
                                                  QAccessible::PageTab};
    return controls.contains(role);
}

// The controls under `node` that a user can see, in the tree's order; with
// `faults`, every focusable node is also checked: a control role (a
// container or a text is fine) and a name, or a screen reader could not tell
// what it is.
void collect(QAccessibleInterface *node, QList<Control> &controls, QStringList *faults = nullptr)
{
    if (!node || !node->isValid() || node->state().invisible)
        return;
    const QAccessible::Role role = node->role();
    if (faults && node->state().focusable && role != QAccessible::StaticText) {
        const QString what = node->object() ? QString::fromLatin1(node->object()->metaObject()->className())
                                                  + u" \""_s + node->object()->objectName() + u'"'
                                            : u"?"_s;
        const bool container = role == QAccessible::Client || role == QAccessible::Pane
                               || role == QAccessible::Grouping;
        if (!isControl(role) && !container)
            *faults << u"%1: role %2"_s.arg(what).arg(int(role));
        if (node->text(QAccessible::Name).trimmed().isEmpty())
            *faults << u"%1: no name"_s.arg(what);
    }
    if (isControl(role)) {
        controls << Control{node, qobject_cast<QWidget *>(node->object())};
        // A control's inner parts (a combo box's list, a field's buttons)
        // belong to it.
        return;
    }
    for (int i = 0; i < node->childCount(); ++i)
        collect(node->child(i), controls, faults);
}

QList<Control> controlsOf(QWidget *screen)
{
    QList<Control> controls;
    collect(QAccessible::queryAccessibleInterface(screen), controls);
    return controls;
}

// A control as a screen reader announces it: "role: name".
QString announced(const Control &control)
{
    static const QHash<int, QString> roles{
        {QAccessible::PushButton, u"push button"_s},
        {QAccessible::CheckBox, u"check box"_s},
        {QAccessible::ComboBox, u"combo box"_s},
        {QAccessible::EditableText, u"text"_s},
    };
    const QAccessibleInterface *node = control.interface;
    const QString role = node->state().passwordEdit
                             ? u"password text"_s
                             : roles.value(node->role(), QString::number(node->role()));
    return role + u": "_s + node->text(QAccessible::Name);
}

// What the user sees after an action: the screens shown, in each window, and
// the texts on them.
QStringList outcome()
{
    QStringList seen;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (!window->isVisible())
            continue;
        for (ViewController *screen : window->findChildren<ViewController *>()) {
            if (screen->isVisible())
                seen << screen->identifier();
        }
        for (QLabel *label : window->findChildren<QLabel *>()) {
            if (label->isVisible() && !label->text().isEmpty())
                seen << label->text();
        }
    }
    seen.sort();
    return seen;
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
            for (QAction *item : menu->menu() ? menu->menu()->actions() : QList<QAction *>{})
                add(item->text());
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
    return neutral.match(text).hasMatch() || words.contains(text)
           || text == ScreenHost::context().config.productNotice;
}

} // namespace

class tst_Accessibility : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void everyControlHasARoleAndAName_data();
    void everyControlHasARoleAndAName();
    void checkBoxesSayWhetherTheyAreTicked();
    void tabReachesEveryControl_data() { ScreenHost::addScreenRows(); }
    void tabReachesEveryControl();
    void enterDoesWhatTheDefaultButtonDoes_data();
    void enterDoesWhatTheDefaultButtonDoes();
    void markupFromOutsideIsShownLiterally_data();
    void markupFromOutsideIsShownLiterally();
    void germanTableCoversEveryMessage();
    void compiledTablesAreInTheClient();
    void noScreenStaysEnglishInGerman_data() { ScreenHost::addScreenRows(); }
    void noScreenStaysEnglishInGerman();

private:
    QTemporaryDir m_dir;
    QTranslator m_german;
};

void tst_Accessibility::initTestCase()
{
    QVERIFY(m_dir.isValid());
    ScreenHost::prepareEnvironment(m_dir.path());
    ScreenHost::context().context.pace.setSpeedUp(100);
    QVERIFY(m_german.load(QLocale(QLocale::German, QLocale::Germany), u"orvex"_s, u"_"_s, u":/i18n"_s));
}

void tst_Accessibility::cleanup()
{
    QCoreApplication::removeTranslator(&m_german);
    QLocale::setDefault(QLocale::c());
}

void tst_Accessibility::everyControlHasARoleAndAName_data()
{
    // The screen, and the controls a person reaches there, in the tree's
    // order, as "role: name" (empty: roles and names checked only).
    QTest::addColumn<int>("index");
    QTest::addColumn<QStringList>("expected");
    const auto list = [](const char *joined) { return QString::fromUtf8(joined).split(u" | "_s); };
    const QHash<QString, QStringList> expected{
        {u"StartViewController"_s,
         list("push button: About Orvex | push button: Help | push button: Sign In | push button: Sign Up")},
        {u"AuthViewController"_s,
         list("push button: ‹ Back | push button: About Orvex | push button: Help | text: E-mail | "
              "password text: Password | push button: Forgot password? | push button: Sign In")},
        {u"MobileViewController"_s,
         list("push button: ‹ Back | push button: About Orvex | push button: Help | combo box: Country | "
              "text: Mobile number | push button: Send Code")},
        {u"ConfirmationCodeViewController"_s,
         list(
             "push button: ‹ Back | push button: About Orvex | push button: Help | text: Confirmation code | "
             "push button: Confirm")},
        {u"SupportViewController"_s, list("text: Your request | push button: Send Request")},
    };
    for (int i = 0; i < ScreenHost::screens().size(); ++i) {
        const char *identifier = ScreenHost::screens().at(i).identifier;
        QTest::newRow(identifier) << i << expected.value(QString::fromLatin1(identifier));
    }
}

void tst_Accessibility::everyControlHasARoleAndAName()
{
    QFETCH(int, index);
    QFETCH(QStringList, expected);
    ScreenHost::ShownScreen shown(ScreenHost::screens().at(index));
    QVERIFY(shown.isReady());
    QList<Control> controls;
    QStringList faults;
    collect(QAccessible::queryAccessibleInterface(shown.screen()), controls, &faults);
    QStringList reached;
    for (const Control &control : std::as_const(controls)) {
        if (control.interface->text(QAccessible::Name).trimmed().isEmpty())
            faults << announced(control) + u" has no name"_s;
        if (control.interface->state().focusable)
            reached << announced(control);
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u"; "_s)));
    if (!expected.isEmpty())
        QCOMPARE(reached, expected);
}

void tst_Accessibility::checkBoxesSayWhetherTheyAreTicked()
{
    ScreenHost::context().defaults.setBoolean(Keys::isAutoConnectEnabled, true);
    ScreenHost::context().defaults.setBoolean(Keys::isAutoStartEnabled, false);
    ScreenHost::context().defaults.setBoolean(Keys::isNotificationsEnabled, true);
    ScreenHost::ShownScreen shown(ScreenHost::screens().at(ScreenHost::indexOf("SettingsViewController")));
    QVERIFY(shown.isReady());
    const auto boxes = [&] {
        QStringList found;
        for (const Control &control : controlsOf(shown.screen())) {
            if (control.interface->role() == QAccessible::CheckBox)
                found << control.interface->text(QAccessible::Name)
                             + (control.interface->state().checked ? u": ticked"_s : QString());
        }
        return found;
    };
    QCOMPARE(boxes(), (QStringList{u"Connect automatically: ticked"_s, u"Start at login"_s,
                                   u"Show notifications: ticked"_s, u"Always require VPN"_s}));
    // Ticked off with the keyboard, and the reader hears the new state.
    auto *row = shown.screen()->findChild<QAbstractButton *>(u"autoConnectButton"_s);
    QVERIFY(row);
    row->setFocus(Qt::TabFocusReason);
    QTest::keyClick(row, Qt::Key_Space);
    QCOMPARE(boxes(), (QStringList{u"Connect automatically"_s, u"Start at login"_s,
                                   u"Show notifications: ticked"_s, u"Always require VPN"_s}));
}

void tst_Accessibility::tabReachesEveryControl()
{
    QFETCH(int, index);
    ScreenHost::ShownScreen shown(ScreenHost::screens().at(index));
    QVERIFY(shown.isReady());
    QWidget *window = shown.window();
    QList<Control> controls = controlsOf(shown.screen());
    // A control that is off for now (an empty form's send button) is skipped
    // by Tab on purpose.
    controls.removeIf([](const Control &control) { return control.interface->state().disabled; });

    QSet<QWidget *> reached;
    for (qsizetype presses = 0; presses < 3 * controls.size() + 4; ++presses) {
        QWidget *focused = QApplication::focusWidget();
        QTest::keyClick(focused ? focused : window, Qt::Key_Tab);
        if (QApplication::focusWidget())
            reached << QApplication::focusWidget();
    }
    for (const Control &control : std::as_const(controls)) {
        QVERIFY(control.widget);
        // The focus may rest on a control's own focus proxy or inner editor.
        bool found = false;
        for (QWidget *widget : std::as_const(reached))
            found = found || widget == control.widget || control.widget->isAncestorOf(widget)
                    || widget->focusProxy() == control.widget || control.widget->focusProxy() == widget;
        QVERIFY2(found, qPrintable(announced(control) + u" is not reached by Tab"_s));
    }
}

void tst_Accessibility::enterDoesWhatTheDefaultButtonDoes_data()
{
    // The screen, the field the user types in last (empty: none), and the
    // button Enter stands for.
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("button");
    const auto row = [](const char *identifier, const char *field, const char *button) {
        QTest::newRow(identifier) << ScreenHost::indexOf(identifier) << QString::fromLatin1(field)
                                  << QString::fromLatin1(button);
    };
    row("StartViewController", "", "signInButton");
    row("AuthViewController", "passwordTextField", "actionButton");
    row("MobileViewController", "mobileTextField", "sendButton");
    row("ConfirmationCodeViewController", "codeTextField", "confirmButton");
    row("UpdateMessageViewController", "", "okButton");
    row("AlertController", "", "actionButton");
}

void tst_Accessibility::enterDoesWhatTheDefaultButtonDoes()
{
    QFETCH(int, index);
    QFETCH(QString, field);
    QFETCH(QString, button);
    const ScreenHost::Screen &which = ScreenHost::screens().at(index);

    // What clicking the button does, on one showing of the screen...
    QStringList clicked;
    QStringList before;
    {
        ScreenHost::ShownScreen shown(which);
        QVERIFY(shown.isReady());
        auto *target = shown.screen()->findChild<QAbstractButton *>(button);
        QVERIFY2(target, qPrintable(button));
        before = outcome();
        target->click();
        QTRY_VERIFY(outcome() != before);
        // Settled once no screen is still coming or going.
        QVERIFY(QTest::qWaitFor([] {
            for (QWidget *window : QApplication::topLevelWidgets()) {
                if (window->findChild<QAbstractAnimation *>())
                    return false;
            }
            return true;
        }));
        clicked = outcome();
    }
    // ...and pressing Enter where the user is, on another.
    ScreenHost::ShownScreen shown(which);
    QVERIFY(shown.isReady());
    QCOMPARE(outcome(), before);
    QWidget *focus = field.isEmpty() ? QApplication::focusWidget()
                                     : shown.screen()->findChild<QWidget *>(field);
    QVERIFY2(focus, qPrintable(field));
    focus->setFocus(Qt::TabFocusReason);
    QTest::keyClick(focus, Qt::Key_Return);
    QTRY_COMPARE(outcome(), clicked);
}

void tst_Accessibility::markupFromOutsideIsShownLiterally_data()
{
    QTest::addColumn<QString>("screen");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("source"); // "email": typed by the user; "screen": handed to the screen
    QTest::newRow("update offer, version from the service")
        << u"UpdateViewController"_s << u"versionLabel"_s << u"screen"_s;
    QTest::newRow("alert, message from the service or the help desk")
        << u"AlertController"_s << u"messageLabel"_s << u"screen"_s;
    QTest::newRow("settings, account e-mail") << u"SettingsViewController"_s << u"emailLabel"_s << u"email"_s;
    QTest::newRow("help desk, account e-mail")
        << u"SupportViewController"_s << u"detailLabel"_s << u"email"_s;
}

// Text from the network or the user goes into labels as text: markup in it is
// shown as typed, never rendered (no fonts, no images loaded from disk).
void tst_Accessibility::markupFromOutsideIsShownLiterally()
{
    QFETCH(QString, screen);
    QFETCH(QString, label);
    QFETCH(QString, source);
    const QString markup = u"<font size=7 color=red>BIG</font><img src=\"/etc/hostname\">@x.example"_s;
    ScreenHost::context().defaults.remove(Keys::tempEmail);
    if (source == "email"_L1)
        ScreenHost::context().defaults.setString(Keys::tempEmail, markup);

    const int index = ScreenHost::indexOf(qPrintable(screen));
    QVERIFY(index >= 0);
    ScreenHost::ShownScreen shown(ScreenHost::screens().at(index));
    ScreenHost::context().defaults.remove(Keys::tempEmail);
    QVERIFY(shown.isReady());
    if (auto *offer = qobject_cast<UpdateViewController *>(shown.screen())) {
        CheckForUpdatesResponse response;
        response.status.version = markup;
        offer->setUpdateResponse(response);
    } else if (auto *alert = qobject_cast<AlertController *>(shown.screen())) {
        alert->setMessage(markup);
    }

    auto *shownLabel = shown.screen()->findChild<QLabel *>(label);
    QVERIFY(shownLabel);
    QVERIFY2(shownLabel->text().contains(markup), qPrintable(shownLabel->text()));
    // Drawn exactly as the same text drawn as plain text.
    const QImage asShown = shownLabel->grab().toImage();
    shownLabel->setTextFormat(Qt::PlainText);
    QCOMPARE(asShown, shownLabel->grab().toImage());
    // A tool tip that repeats the text reads back as the text itself.
    if (!shownLabel->toolTip().isEmpty())
        QCOMPARE(QTextDocumentFragment::fromHtml(shownLabel->toolTip()).toPlainText(), markup);
}

void tst_Accessibility::germanTableCoversEveryMessage()
{
    // Extract afresh from the code into a copy of the table, as the
    // update_translations target does; compiling it counts what is left to do.
    const QString copy = m_dir.filePath(u"orvex_de.ts"_s);
    QFile::remove(copy);
    QVERIFY(QFile::copy(QStringLiteral(ORVEX_SOURCE_DIR "/resources/translations/orvex_de.ts"), copy));
    QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
    const ProgramRun lupdate = runProgram(QStringLiteral(ORVEX_LUPDATE),
                                          {u"-no-obsolete"_s, u"-locations"_s, u"none"_s,
                                           QStringLiteral(ORVEX_SOURCE_DIR "/src"), u"-ts"_s, copy});
    QVERIFY2(lupdate.exitCode == 0, qPrintable(lupdate.err));
    const ProgramRun lrelease = runProgram(QStringLiteral(ORVEX_LRELEASE),
                                           {copy, u"-qm"_s, m_dir.filePath(u"orvex_de.qm"_s)});
    const auto counts = QRegularExpression(
                            u"Generated (\\d+) translation\\(s\\) \\(\\d+ finished and 0 unfinished\\)"_s)
                            .match(lrelease.out);
    // Otherwise run the update_translations target and translate in Linguist.
    QVERIFY2(counts.hasMatch() && counts.captured(1).toInt() > 50 && !lrelease.out.contains(u"untranslated"_s),
             qPrintable(lrelease.out + lrelease.err));
}

void tst_Accessibility::compiledTablesAreInTheClient()
{
    // German is compiled in (initTestCase loads it); English has no table.
    QTranslator english;
    QVERIFY(!english.load(QLocale(QLocale::English, QLocale::UnitedStates), u"orvex"_s, u"_"_s, u":/i18n"_s));

    // The client installs the table of its desktop's language (an Austrian
    // one gets German); the error catalogue then comes out in German.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Austria));
    const QList<QTranslator *> before = qApp->findChildren<QTranslator *>(Qt::FindDirectChildrenOnly);
    AppWiring::dress(*qApp);
    const QString text = Error(Error::Code::invalidPassword).localizedDescription();
    for (QTranslator *translator : qApp->findChildren<QTranslator *>(Qt::FindDirectChildrenOnly)) {
        if (!before.contains(translator))
            delete translator; // which also takes it out of the application's list
    }
    QCOMPARE(text, u"E-Mail-Adresse oder Passwort falsch"_s);
}

void tst_Accessibility::noScreenStaysEnglishInGerman()
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
    QVERIFY2(stillEnglish.isEmpty(), qPrintable(stillEnglish.join(u'\n')));
}

QTEST_MAIN(tst_Accessibility)

#include "tst_accessibility.moc"
