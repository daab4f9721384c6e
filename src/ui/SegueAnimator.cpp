#include "SegueAnimator.h"

#include "ui/ViewController.h"

#include <QPainter>
#include <QParallelAnimationGroup>
#include <QPointer>
#include <QPropertyAnimation>
#include <QVariantAnimation>

namespace Orvex {

namespace {

// Fades are drawn from a picture of the screen rather than with an opacity
// effect on the screen itself: screens hold controls with drop shadows, and
// Qt cannot paint one graphics effect inside another.
class Snapshot final : public QWidget
{
public:
    Snapshot(QWidget *screen, QWidget *host)
        : QWidget(host)
        , m_picture(screen->grab())
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setGeometry(screen->geometry());
    }

    void setOpacity(qreal opacity)
    {
        m_opacity = opacity;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setOpacity(m_opacity);
        painter.drawPixmap(rect(), m_picture);
    }

private:
    QPixmap m_picture;
    qreal m_opacity = 1.0;
};

QVariantAnimation *fade(Snapshot *snapshot, qreal from, qreal to, int duration, QObject *parent)
{
    auto *animation = new QVariantAnimation(parent);
    animation->setDuration(duration);
    animation->setStartValue(from);
    animation->setEndValue(to);
    QObject::connect(animation, &QVariantAnimation::valueChanged, snapshot,
                     [snapshot](const QVariant &v) { snapshot->setOpacity(v.toReal()); });
    snapshot->setOpacity(from);
    return animation;
}

} // namespace

QRect SegueAnimator::startFrame(NavigationDirection direction, const QRect &f)
{
    switch (direction) {
    case NavigationDirection::popover:
        return f.adjusted(20, 100, -20, -100);
    case NavigationDirection::center:
        return f;
    case NavigationDirection::toLeft:
        return f.translated(f.width(), 0);
    case NavigationDirection::toRight:
        return f.translated(-f.width(), 0);
    case NavigationDirection::toWebView:
        return QRect(0, 0, 2 * f.width(), 2 * f.height());
    }
    return f;
}

qreal SegueAnimator::startAlpha(NavigationDirection direction)
{
    return direction == NavigationDirection::popover || direction == NavigationDirection::center ? 0.0 : 1.0;
}

void SegueAnimator::animatePresentation(ViewController *controller, QWidget *host)
{
    const QRect f = host->rect();
    // The focus goes where the screen put it when it was set up (the field
    // a person types in first), else to the screen. Moving the screen into
    // the host clears that choice, so it is taken first.
    QPointer<QWidget> chosen = controller->focusWidget();
    const auto takeFocus = [chosen](ViewController *screen) {
        if (chosen && screen->isAncestorOf(chosen) && chosen->isEnabled())
            chosen->setFocus(Qt::OtherFocusReason);
        else
            screen->setFocus(Qt::OtherFocusReason);
    };
    controller->setParent(host);
    controller->setGeometry(startFrame(m_direction, f));
    controller->show();
    controller->raise();
    takeFocus(controller);

    if (startAlpha(m_direction) < 1.0) {
        // Fading screens do not move: the picture fades in where the screen
        // stays, and the screen itself takes over when it is opaque.
        auto *snapshot = new Snapshot(controller, host);
        controller->hide();
        snapshot->show();
        snapshot->raise();
        QPointer<ViewController> guard(controller);
        QVariantAnimation *animation = fade(snapshot, 0.0, 1.0, duration(), snapshot);
        QObject::connect(animation, &QAbstractAnimation::finished, snapshot, [snapshot, guard, takeFocus] {
            if (guard) {
                guard->show();
                guard->raise();
                takeFocus(guard);
            }
            snapshot->deleteLater();
        });
        animation->start(QAbstractAnimation::DeleteWhenStopped);
        return;
    }
    if (m_direction != NavigationDirection::toLeft && m_direction != NavigationDirection::toRight)
        return; // a web view stays where it starts
    auto *move = new QPropertyAnimation(controller, "geometry", controller);
    move->setDuration(duration());
    move->setEndValue(f);
    move->setEasingCurve(QEasingCurve::OutCubic);
    move->start(QAbstractAnimation::DeleteWhenStopped);
}

void SegueAnimator::animateDismissal(ViewController *controller, ViewController *presenter)
{
    // The leaving screen is replaced by its picture at once, so it takes no
    // more clicks; the picture fades (and slides right) away.
    QWidget *host = controller->parentWidget();
    controller->setAttribute(Qt::WA_TransparentForMouseEvents, true);
    QPointer<ViewController> presenterGuard(presenter);
    if (!host || !controller->isVisible()) {
        controller->hide();
        controller->deleteLater();
        if (presenterGuard)
            presenterGuard->viewWillAppear();
        return;
    }
    auto *snapshot = new Snapshot(controller, host);
    snapshot->show();
    snapshot->raise();
    controller->hide();
    controller->deleteLater();

    auto *group = new QParallelAnimationGroup(snapshot);
    group->addAnimation(fade(snapshot, 1.0, 0.0, duration(), group));
    if (m_direction == NavigationDirection::toLeft || m_direction == NavigationDirection::toRight
        || m_direction == NavigationDirection::toWebView) {
        auto *move = new QPropertyAnimation(snapshot, "geometry", group);
        move->setDuration(duration());
        move->setEndValue(snapshot->geometry().translated(snapshot->width(), 0));
        move->setEasingCurve(QEasingCurve::InCubic);
        group->addAnimation(move);
    }
    QObject::connect(group, &QAbstractAnimation::finished, snapshot, [snapshot, presenterGuard] {
        snapshot->deleteLater();
        if (presenterGuard)
            presenterGuard->viewWillAppear();
    });
    group->start(QAbstractAnimation::DeleteWhenStopped);
}

} // namespace Orvex
