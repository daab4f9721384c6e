// Every screen on a real Wayland compositor (weston, headless, started and
// stopped by this test) through Qt's Wayland platform: each opens in its
// window, the modal windows as children of the main window, everything fits
// on the output, the focus rests where a person types, and each closes. The
// compositor's own picture of the output shows where it placed the windows:
// nothing off-screen, the parent of a modal window still shown. Screenshots of each
// window (QWidget::grab) and of the output go to tst_wayland.shots/ in the
// build folder.

#include "PrivateBus.h"
#include "ScreenHost.h"
#include "Weston.h"

#include <QDialog>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <cstdio>
#include <optional>

using namespace Qt::StringLiterals;

using namespace Orvex;
using ScreenHost::Presentation;

namespace {

QString shotsDir()
{
    return QStringLiteral(ORVEX_SHOTS_DIR);
}

// The output as the compositor composed it, from its screenshooter client.
QImage outputPicture()
{
    QTemporaryDir dir;
    QProcess shooter;
    shooter.setWorkingDirectory(dir.path());
    shooter.start(u"weston-screenshooter"_s, {});
    if (!QTest::qWaitFor([&shooter] { return shooter.state() == QProcess::NotRunning; }, 20000)) {
        shooter.kill();
        shooter.waitForFinished(2000);
        return {};
    }
    const QStringList files = QDir(dir.path()).entryList({u"*.png"_s});
    return files.isEmpty() ? QImage()
                           : QImage(dir.filePath(files.constFirst())).convertToFormat(QImage::Format_RGB32);
}

// Where `part` appears in `whole`, pixel for pixel: the compositor copies a
// window's buffer unscaled, so its grab is found as it is.
std::optional<QPoint> locate(const QImage &whole, const QImage &part)
{
    if (part.isNull() || part.width() > whole.width() || part.height() > whole.height())
        return std::nullopt;
    // A row through the middle, long enough to be unique, narrows the search.
    const int row = part.height() / 2;
    const auto *needle = reinterpret_cast<const QRgb *>(part.constScanLine(row));
    for (int y = row; y <= whole.height() - (part.height() - row); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(whole.constScanLine(y));
        for (int x = 0; x <= whole.width() - part.width(); ++x) {
            if (std::equal(needle, needle + part.width(), line + x)) {
                const QPoint origin(x, y - row);
                bool all = true;
                for (int r = 0; all && r < part.height(); r += 7) {
                    const auto *a = reinterpret_cast<const QRgb *>(part.constScanLine(r));
                    const auto *b = reinterpret_cast<const QRgb *>(whole.constScanLine(origin.y() + r)) + x;
                    all = std::equal(a, a + part.width(), b);
                }
                if (all)
                    return origin;
            }
        }
    }
    return std::nullopt;
}

QImage grabbed(QWidget *widget)
{
    return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

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
    QVERIFY(QDir().mkpath(shotsDir()));
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
    QVERIFY2(window->frameGeometry().width() <= available.width()
                 && window->frameGeometry().height() <= available.height(),
             qPrintable(u"%1x%2 on %3x%4"_s.arg(window->frameGeometry().width())
                            .arg(window->frameGeometry().height())
                            .arg(available.width())
                            .arg(available.height())));

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

    // Where the compositor put the window, on its own picture of the output:
    // on the output entirely, and a modal window with a parent that is
    // still there. Where exactly is the compositor's choice: xdg-shell lets
    // a client name a window's parent, not place it (weston puts it anywhere
    // on the output; GNOME and KDE over the parent).
    const QString name = QString::fromLatin1(which.identifier);
    const QImage windowPicture = grabbed(window);
    QVERIFY(windowPicture.save(shotsDir() + u'/' + name + u".png"_s));
    QImage output;
    std::optional<QPoint> at;
    // Found by its top: a text cursor below may blink between the grab and
    // the compositor's picture.
    const QImage windowTop = windowPicture.copy(0, 0, windowPicture.width(), 40);
    QTRY_VERIFY_WITH_TIMEOUT((output = outputPicture(), at = locate(output, windowTop), at.has_value()),
                             30000);
    QVERIFY(output.save(shotsDir() + u'/' + name + u"-output.png"_s));
    const QRect placed(*at, windowPicture.size());
    QVERIFY2(output.rect().contains(placed), qPrintable(name));
    if (which.shown == Presentation::AsModalWindow) {
        // The parent stays mapped beneath it; how much of it the compositor
        // leaves in sight depends on where it put the modal window.
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
        QTRY_VERIFY(!screen || !screen->isVisible());
        if (which.shown == Presentation::AsModalWindow)
            QTRY_VERIFY(!window->isVisible());
    }
}

int main(int argc, char *argv[])
{
    Weston weston;
    if (!weston.isRunning()) {
        std::fprintf(stderr, "%s\n", qPrintable(weston.error()));
        return 1;
    }
    weston.exportAsDisplay();
    PrivateBus bus;
    if (!bus.isRunning()) {
        std::fprintf(stderr, "%s\n", qPrintable(bus.error()));
        return 1;
    }
    bus.exportAsSessionBus();
    int status = 0;
    {
        QApplication app(argc, argv);
        tst_Wayland test;
        status = QTest::qExec(&test, argc, argv);
    }
    return status;
}

#include "tst_wayland.moc"
