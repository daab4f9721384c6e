// The account screens' text fields on a real, focused widget (offscreen): the
// editing shortcuts, the caret colour, the password fields' reliance on the
// toolkit, and the phone field's typing filter.

#include "account/MobileFormatter.h"
#include "account/MobileTextField.h"
#include "account/SecureTextField.h"
#include "account/TextField.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
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

} // namespace

class tst_AuthTextFields : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void shortcutsActOnTheFocusedFieldBeforeWindowShortcuts();
    void otherCombinationsAreLeftToTheToolkit();
    void caretTakesTheTextColourOrBlack();
    void passwordFieldsLeaveShortcutsToTheToolkit();
    void validatorDoesNotRestrictTyping();
    void phoneFieldFiltersTyping();
    void fullPhoneFieldStillAnswersEnter();
};

void tst_AuthTextFields::initTestCase()
{
    // A caret that does not blink, so a picture taken any time shows it.
    QApplication::setCursorFlashTime(0);
}

void tst_AuthTextFields::shortcutsActOnTheFocusedFieldBeforeWindowShortcuts()
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
}

void tst_AuthTextFields::otherCombinationsAreLeftToTheToolkit()
{
    Window window;
    auto *field = window.add<TextField>();
    QVERIFY(window.showAndFocus(field));
    QTest::keyClicks(field, u"abc"_s);

    // Control + Alt + Z is no shortcut of the field: the window's action gets it
    // and the text stays.
    QTest::keyClick(field, Qt::Key_Z, Qt::ControlModifier | Qt::AltModifier);
    QCOMPARE(window.altTriggered, 1);
    QCOMPARE(field->text(), u"abc"_s);

    // Exactly Control (or Control + Shift for redo): a key of the number pad or
    // an extra Shift is something else.
    TextField probe;
    QKeyEvent keypad(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier | Qt::KeypadModifier);
    QVERIFY(!probe.editAction(&keypad));
    QKeyEvent redo(QEvent::KeyPress, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(probe.editAction(&redo), TextField::EditAction::redo);
    QKeyEvent shiftedCopy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(!probe.editAction(&shiftedCopy));
}

void tst_AuthTextFields::caretTakesTheTextColourOrBlack()
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

void tst_AuthTextFields::passwordFieldsLeaveShortcutsToTheToolkit()
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

void tst_AuthTextFields::validatorDoesNotRestrictTyping()
{
    Window window;
    auto *field = window.add<TextField>();
    field->validator = InputValidator::email;
    auto *secure = window.add<SecureTextField>();
    secure->validator = InputValidator::password;
    QVERIFY(window.showAndFocus(field));
    QTest::keyClicks(field, u"not an e-mail"_s);
    QCOMPARE(field->text(), u"not an e-mail"_s);
    secure->setFocus(Qt::OtherFocusReason);
    QTest::keyClicks(secure, u"abc"_s);
    QCOMPARE(secure->text(), u"abc"_s);
}

void tst_AuthTextFields::phoneFieldFiltersTyping()
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
}

void tst_AuthTextFields::fullPhoneFieldStillAnswersEnter()
{
    Window window;
    auto *field = window.add<MobileTextField>();
    QVERIFY(window.showAndFocus(field));
    QSignalSpy entered(field, &QLineEdit::returnPressed);
    QTest::keyClicks(field, u"612345678"_s);
    QVERIFY(field->hasAcceptableInput());
    QTest::keyClick(field, Qt::Key_Return);
    QCOMPARE(entered.size(), 1);
}

QTEST_MAIN(tst_AuthTextFields)
#include "tst_authtextfields.moc"
