#include "Navigator.h"

#include "platform/Pace.h"
#include "ui/AppStoryboard.h"
#include "ui/CustomSegue.h"
#include "ui/ViewController.h"
#include "ui/WindowController.h"

#include <QDialog>
#include <QPointer>
#include <QTimer>

namespace Orvex::Navigator {

namespace {

ViewController *root()
{
    WindowController *window = WindowController::main();
    return window ? window->contentViewController() : nullptr;
}

// Where a presented screen is drawn: over the root, or over the modal window in
// front of it so that an alert raised from a modal screen is seen.
QWidget *visualHost(ViewController *root)
{
    const QList<ViewController *> presented = root->presentedViewControllers();
    for (auto it = presented.crbegin(); it != presented.crend(); ++it) {
        if ((*it)->isPresentedAsModalWindow() && (*it)->modalWindow()->isVisible())
            return *it;
    }
    return root;
}

bool presentsClass(ViewController *presenter, const QString &identifier)
{
    for (ViewController *p : presenter->presentedViewControllers()) {
        if (p->identifier() == identifier)
            return true;
    }
    return false;
}

} // namespace

void show(ViewController *screen, NavigationDirection direction)
{
    ViewController *r = root();
    if (!r || r->identifier() == screen->identifier() || presentsClass(r, screen->identifier())) {
        screen->deleteLater();
        return;
    }
    CustomSegue(direction, r, screen).perform(visualHost(r));
}

void setRoot(ViewController *screen, NavigationDirection direction)
{
    WindowController *window = WindowController::main();
    if (!window || !window->contentViewController()) {
        screen->deleteLater();
        return;
    }
    QPointer<ViewController> guard(screen);
    QPointer<WindowController> windowGuard(window);
    show(screen, direction);
    QTimer::singleShot(Pace::scaled(setRootDelayMs), window, [guard, windowGuard] {
        if (guard && windowGuard)
            windowGuard->setContentViewController(guard);
    });
}

void showMain()
{
    ViewController *r = root();
    if (!r || r->identifier() != StoryboardRegistry::entry(AppStoryboard::Main)) {
        if (!WindowController::main())
            return;
        // Made now, moved in on the next turn: building the screen and
        // laying out and painting it for the slide are each a few
        // milliseconds, and together they would hold the event loop for
        // longer than a frame.
        QPointer<ViewController> screen(StoryboardRegistry::createEntry(AppStoryboard::Main));
        QTimer::singleShot(0, screen, [screen] {
            if (screen)
                setRoot(screen, NavigationDirection::toLeft);
        });
        return;
    }
    for (ViewController *presented : r->presentedViewControllers())
        r->dismissController(presented);
}

void presentModal(ViewController *screen)
{
    ViewController *r = root();
    if (!r) {
        screen->deleteLater();
        return;
    }
    for (ViewController *presented : r->presentedViewControllers()) {
        if (presented->identifier() == screen->identifier() && presented->isPresentedAsModalWindow()) {
            presented->modalWindow()->raise();
            presented->modalWindow()->activateWindow();
            screen->deleteLater();
            return;
        }
    }
    r->presentAsModalWindow(screen);
}

void dismissTop()
{
    ViewController *current = root();
    if (!current)
        return;
    while (!current->presentedViewControllers().isEmpty())
        current = current->presentedViewControllers().constLast();
    current->dismiss();
}

} // namespace Orvex::Navigator
