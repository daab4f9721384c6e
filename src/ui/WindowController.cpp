#include "WindowController.h"

#include "ui/AppStoryboard.h"
#include "ui/Images.h"
#include "ui/ViewController.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QSystemTrayIcon>

namespace Orvex {

WindowController::WindowController(const AppContext &context, QWidget *parent)
    : QMainWindow(parent)
    , quitApplication([] { QApplication::quit(); })
    , m_context(context)
{
    setWindowTitle(QStringLiteral("Orvex Cloud"));
    setWindowIcon(Images::named(QStringLiteral("orvex")));
    setObjectName(QStringLiteral("mainWindow"));
}

WindowController::~WindowController() = default;

WindowController *WindowController::of(const QObject *object)
{
    // A modal window is a child of the window it belongs to, so the walk
    // leaves it for its owner like any other parent.
    for (; object; object = object->parent()) {
        if (auto *window = qobject_cast<WindowController *>(const_cast<QObject *>(object)))
            return window;
    }
    return nullptr;
}

ViewController *WindowController::contentViewController() const
{
    return qobject_cast<ViewController *>(centralWidget());
}

void WindowController::setContentViewController(ViewController *screen)
{
    ViewController *old = contentViewController();
    if (old == screen)
        return;
    if (old) {
        // Modal windows belong to the main window, not to the old root's view:
        // close them explicitly.
        for (ViewController *presented : old->presentedViewControllers()) {
            if (presented->isPresentedAsModalWindow())
                old->dismissController(presented);
        }
        takeCentralWidget();
    }
    screen->setGraphicsEffect(nullptr);
    screen->setAttribute(Qt::WA_TransparentForMouseEvents, false);
    screen->detachFromPresenter();
    setCentralWidget(screen);
    screen->setFixedSize(contentSize);
    screen->show();
    screen->loadViewIfNeeded();
    if (old)
        old->deleteLater();
}

void WindowController::windowDidLoad()
{
    ViewController *first = StoryboardRegistry::createFirstScreen(m_context);
    ViewController *current = contentViewController();
    if (current && current->identifier() == first->identifier()) {
        delete first;
        return;
    }
    setContentViewController(first);
}

void WindowController::bringForward()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void WindowController::closeEvent(QCloseEvent *event)
{
    // With a tray to come back from, closing only hides the window; without
    // one the client quits rather than run on invisibly, by the same quit
    // sequence as the menus' Quit, so the tunnel does not outlive it.
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        hide();
        event->ignore();
        return;
    }
    event->accept();
    if (quitApplication)
        quitApplication();
}

} // namespace Orvex
