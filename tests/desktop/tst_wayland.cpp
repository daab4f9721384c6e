// Every screen on a headless weston of the test's own: each opens (modal
// windows as children of the mapped main window), fits, takes the focus where
// a person types and closes. Screenshots go to tst_wayland.shots/.

#include "DesktopMain.h"
#include "ScreenHost.h"
#include "Weston.h"

#include <QDir>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

using namespace Qt::StringLiterals;

using namespace Orvex;
using ScreenHost::Presentation;

namespace {

const QString shotsDir = QStringLiteral(ORVEX_SHOTS_DIR);

} // namespace

class tst_Wayland : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void everyScreenOpensFitsAndCloses_data();
    void everyScreenOpensFitsAndCloses();

private:
    QTemporaryDir m_dir;
};

void tst_Wayland::initTestCase()
{
    QCOMPARE(QGuiApplication::platformName(), u"wayland"_s);
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir().mkpath(shotsDir));
    ScreenHost::prepareEnvironment(m_dir.path());
}

void tst_Wayland::everyScreenOpensFitsAndCloses_data()
{
    // The screen, and the field the focus rests in when it opens (empty: a
    // screen without one, where the focus may rest on any control).
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("typedInto");
    const QHash<QString, QString> fields{
        {u"AuthViewController"_s, u"emailTextField"_s},
        {u"MobileViewController"_s, u"mobileTextField"_s},
        {u"ConfirmationCodeViewController"_s, u"codeTextField"_s},
        {u"SupportViewController"_s, u"textView"_s},
    };
    for (int i = 0; i < ScreenHost::screens().size(); ++i) {
        const QString identifier = QString::fromLatin1(ScreenHost::screens().at(i).identifier);
        QTest::newRow(ScreenHost::screens().at(i).identifier) << i << fields.value(identifier);
    }
}

void tst_Wayland::everyScreenOpensFitsAndCloses()
{
    QFETCH(int, index);
    QFETCH(QString, typedInto);
    const ScreenHost::Screen &which = ScreenHost::screens().at(index);
    ScreenHost::ShownScreen shown(which);
    QVERIFY(shown.isReady());
    QWidget *window = shown.window();
    QVERIFY(window->windowHandle());
    QTRY_VERIFY(window->windowHandle()->isExposed());

    // Fits on the output, with room for the compositor's frame.
    const QRect available = window->screen()->availableGeometry();
    QVERIFY(window->frameGeometry().width() <= available.width());
    QVERIFY(window->frameGeometry().height() <= available.height());

    QWidget *parentWindow = shown.root() ? shown.root()->window() : nullptr;
    if (which.shown == Presentation::AsModalWindow) {
        // The compositor learns the window's parent and modality; it places
        // the window from that.
        QVERIFY(parentWindow && parentWindow != window);
        QCOMPARE(window->windowHandle()->transientParent(), parentWindow->windowHandle());
        QCOMPARE(window->windowModality(), Qt::WindowModal);
    }

    // The focus rests where a person types, in the window that opened.
    QWidget *focused = window->focusWidget();
    if (!typedInto.isEmpty()) {
        QVERIFY(focused);
        QCOMPARE(focused->objectName(), typedInto);
        QVERIFY(qobject_cast<QLineEdit *>(focused) || qobject_cast<QPlainTextEdit *>(focused));
        QVERIFY(focused->isVisible());
    }

    QVERIFY(window->grab()
                .toImage()
                .convertToFormat(QImage::Format_RGB32)
                .save(shotsDir + u"/"_s + QString::fromLatin1(which.identifier) + u".png"_s));
    if (which.shown == Presentation::AsModalWindow) {
        // The parent stays mapped beneath it.
        QVERIFY(parentWindow->windowHandle() && parentWindow->windowHandle()->isExposed());
        QVERIFY(parentWindow->isVisible());
    }

    // And it closes: Escape for a modal window and the alert, the window's
    // close for a root screen.
    if (which.shown == Presentation::AsRoot) {
        QVERIFY(window->close() || !window->isVisible());
        QTRY_VERIFY(!window->isVisible());
    } else {
        QPointer<ViewController> screen = shown.screen();
        QTest::keyClick(window->focusWidget() ? window->focusWidget() : window, Qt::Key_Escape);
        QTRY_VERIFY(!shown.root()->presentedViewControllers().contains(screen));
        QTRY_VERIFY(!screen || !screen->isVisible());
        if (which.shown == Presentation::AsModalWindow)
            QTRY_VERIFY(!window->isVisible());
    }
}

int main(int argc, char *argv[])
{
    return runOnOwnDesktop<tst_Wayland, Weston>(argc, argv);
}

#include "tst_wayland.moc"
