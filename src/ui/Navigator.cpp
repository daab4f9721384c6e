#include "Navigator.h"

#include "ui/AppContext.h"
#include "ui/AppStoryboard.h"
#include "ui/CustomSegue.h"
#include "ui/ViewController.h"
#include "ui/WindowController.h"

#include <QDialog>
#include <QPointer>
#include <QTimer>

namespace Orvex::Navigator {

namespace {

ViewController *root(const QObject *from)
{
    WindowController *window = WindowController::of(from);
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

void show(const QObject *from, ViewController *screen, NavigationDirection direction)
{
    ViewController *r = root(from);
    if (!r || r->identifier() == screen->identifier() || presentsClass(r, screen->identifier())) {
        screen->deleteLater();
        return;
    }
    CustomSegue(direction, r, screen).perform(visualHost(r));
}

void setRoot(const QObject *from, ViewController *screen, NavigationDirection direction)
{
    WindowController *window = WindowController::of(from);
    if (!window || !window->contentViewController()) {
        screen->deleteLater();
        return;
    }
    QPointer<ViewController> guard(screen);
    QPointer<WindowController> windowGuard(window);
    show(window, screen, direction);
    QTimer::singleShot(window->context().pace.scaled(setRootDelayMs), window, [guard, windowGuard] {
        if (guard && windowGuard)
            windowGuard->setContentViewController(guard);
    });
}

void showMain(const QObject *from)
{
    WindowController *window = WindowController::of(from);
    if (!window)
        return;
    const AppContext &context = window->context();
    ViewController *r = window->contentViewController();
    if (!r || r->identifier() != context.scenes.entry(AppStoryboard::Main)) {
        // Made now, moved in on the next turn: building the screen and
        // laying out and painting it for the slide are each a few
        // milliseconds, and together they would hold the event loop for
        // longer than a frame.
        QPointer<ViewController> screen(StoryboardRegistry::createEntry(context, AppStoryboard::Main));
        QPointer<WindowController> windowGuard(window);
        QTimer::singleShot(0, screen, [screen, windowGuard] {
            if (!screen)
                return;
            if (windowGuard)
                setRoot(windowGuard, screen, NavigationDirection::toLeft);
            else
                screen->deleteLater();
        });
        return;
    }
    for (ViewController *presented : r->presentedViewControllers())
        r->dismissController(presented);
}

void presentModal(const QObject *from, ViewController *screen)
{
    ViewController *r = root(from);
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

void dismissTop(const QObject *from)
{
    ViewController *current = root(from);
    if (!current)
        return;
    while (!current->presentedViewControllers().isEmpty())
        current = current->presentedViewControllers().constLast();
    current->dismiss();
}

} // namespace Orvex::Navigator
