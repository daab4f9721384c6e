// Every screen as a screen reader and a keyboard user meet it: the offscreen
// accessibility tree (QAccessible) names every control, Tab reaches every
// control, Enter does what the default button does, Escape closes modal
// windows and the alert.

#include "ScreenHost.h"

#include "account/DefaultsKeys.h"
#include "ui/AlertController.h"
#include "platform/UserDefaults.h"
#include "update/UpdateViewController.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QDialog>
#include <QLabel>
#include <QTemporaryDir>
#include <QTextDocumentFragment>
#include <QTest>

using namespace Qt::StringLiterals;

using namespace Orvex;
using ScreenHost::Presentation;

namespace {

struct Control
{
    QAccessibleInterface *interface;
    QWidget *widget;
};

bool isControl(QAccessible::Role role)
{
    switch (role) {
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::ComboBox:
    case QAccessible::EditableText:
    case QAccessible::SpinBox:
    case QAccessible::Slider:
    case QAccessible::Link:
    case QAccessible::ButtonMenu:
    case QAccessible::ButtonDropDown:
    case QAccessible::PageTab:
        return true;
    default:
        return false;
    }
}

void collect(QAccessibleInterface *node, QList<Control> &controls)
{
    if (!node || !node->isValid() || node->state().invisible)
        return;
    if (isControl(node->role())) {
        controls << Control{node, qobject_cast<QWidget *>(node->object())};
        // A control's inner parts (a combo box's list, a field's buttons)
        // belong to it.
        return;
    }
    for (int i = 0; i < node->childCount(); ++i)
        collect(node->child(i), controls);
}

// The controls of `screen` that a user can see, from the accessibility tree.
QList<Control> controlsOf(QWidget *screen)
{
    QList<Control> controls;
    collect(QAccessible::queryAccessibleInterface(screen), controls);
    return controls;
}

QString describe(const Control &control)
{
    const QObject *object = control.interface->object();
    return u"%1 \"%2\" (%3, role %4)"_s
        .arg(object ? QString::fromLatin1(object->metaObject()->className()) : u"?"_s,
             object ? object->objectName() : QString(), control.interface->text(QAccessible::Name))
        .arg(int(control.interface->role()));
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

} // namespace

class tst_Accessibility : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void everyControlHasAName_data() { ScreenHost::addScreenRows(); }
    void everyControlHasAName();
    void tabReachesEveryControl_data() { ScreenHost::addScreenRows(); }
    void tabReachesEveryControl();
    void escapeClosesModalWindowsAndTheAlert_data();
    void escapeClosesModalWindowsAndTheAlert();
    void enterDoesWhatTheDefaultButtonDoes_data();
    void enterDoesWhatTheDefaultButtonDoes();
    void markupFromOutsideIsShownLiterally_data();
    void markupFromOutsideIsShownLiterally();

private:
    QTemporaryDir m_dir;
};

void tst_Accessibility::initTestCase()
{
    QVERIFY(m_dir.isValid());
    ScreenHost::prepareEnvironment(m_dir.path());
}

void tst_Accessibility::everyControlHasAName()
{
    QFETCH(int, index);
    ScreenHost::ShownScreen shown(ScreenHost::screens().at(index));
    QVERIFY(shown.isReady());
    const QList<Control> controls = controlsOf(shown.screen());
    for (const Control &control : controls)
        QVERIFY2(!control.interface->text(QAccessible::Name).trimmed().isEmpty(),
                 qPrintable(describe(control)));
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
        QVERIFY2(found, qPrintable(describe(control) + u" is not reached by Tab"_s));
    }
}

void tst_Accessibility::escapeClosesModalWindowsAndTheAlert_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < ScreenHost::screens().size(); ++i) {
        if (ScreenHost::screens().at(i).shown != Presentation::AsRoot)
            QTest::newRow(ScreenHost::screens().at(i).identifier) << i;
    }
}

void tst_Accessibility::escapeClosesModalWindowsAndTheAlert()
{
    QFETCH(int, index);
    ScreenHost::ShownScreen shown(ScreenHost::screens().at(index));
    QVERIFY(shown.isReady());
    QPointer<ViewController> screen = shown.screen();
    QPointer<QDialog> dialog = screen->modalWindow();
    QWidget *focused = QApplication::focusWidget();
    QTest::keyClick(focused ? focused : screen.data(), Qt::Key_Escape);
    QTRY_VERIFY(!shown.root()->presentedViewControllers().contains(screen));
    QTRY_VERIFY(!dialog || !dialog->isVisible());
    QTRY_VERIFY(!screen || !screen->isVisible());
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
        QTest::qWait(Navigator::setRootDelayMs / 2); // let what it started settle
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
    UserDefaults::standard().remove(DefaultsKeys::tempEmail);
    if (source == "email"_L1)
        UserDefaults::standard().setString(DefaultsKeys::tempEmail, markup);

    const int index = ScreenHost::indexOf(qPrintable(screen));
    QVERIFY(index >= 0);
    ScreenHost::ShownScreen shown(ScreenHost::screens().at(index));
    UserDefaults::standard().remove(DefaultsKeys::tempEmail);
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

QTEST_MAIN(tst_Accessibility)

#include "tst_accessibility.moc"
