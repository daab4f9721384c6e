#include "Crawler.h"

#include <QPainter>
#include <QVariantAnimation>

#include <cmath>
#include <numbers>

namespace Orvex {

namespace {

// Each follower runs this fraction of a revolution behind the one before it.
constexpr qreal followerLag = 0.065;
// Shares of the orbit and dot size in the widget's side.
constexpr qreal orbitShare = 0.31;
constexpr qreal dotShare = 0.058;

// Position along the orbit (0..1) at time u (0..1) within a revolution. Mostly
// eased in and out, with a linear share so no dot ever comes to a standstill;
// it starts and ends at the same place with the same speed, so revolutions
// join without a jump.
qreal crawl(qreal u)
{
    const qreal eased = 0.5 - 0.5 * std::cos(u * std::numbers::pi);
    return 0.35 * u + 0.65 * eased;
}

} // namespace

Crawler::Crawler(QWidget *parent)
    : QWidget(parent)
    , m_animation(new QVariantAnimation(this))
    , m_foregroundColor(defaultForegroundColor())
{
    resize(defaultSide, defaultSide);

    m_animation->setStartValue(0.0);
    m_animation->setEndValue(1.0);
    m_animation->setDuration(cycleMilliseconds);
    m_animation->setLoopCount(-1);
    connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        m_phase = value.toReal();
        update();
    });
}

QColor Crawler::defaultForegroundColor()
{
    return QColor::fromRgbF(242 / 255.0f, 165 / 255.0f, 60 / 255.0f, 1.0f);
}

void Crawler::setForegroundColor(const QColor &color)
{
    m_foregroundColor = color;
    update();
}

void Crawler::setBackgroundColor(const QColor &color)
{
    m_backgroundColor = color;
    update();
}

void Crawler::setAnimate(bool animate)
{
    m_animate = animate;
    updateAnimation();
}

bool Crawler::isRunning() const
{
    return m_animation->state() == QAbstractAnimation::Running;
}

QSize Crawler::sizeHint() const
{
    return QSize(defaultSide, defaultSide);
}

void Crawler::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    updateAnimation();
}

void Crawler::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    updateAnimation();
}

// Stopping (or pausing) the animation unregisters it from Qt's animation
// timer, which itself stops once no animation is left: a stopped spinner
// costs no wake-ups at all.
void Crawler::updateAnimation()
{
    if (!m_animate) {
        m_animation->stop();
        return;
    }
    if (!isVisible()) {
        if (m_animation->state() == QAbstractAnimation::Running)
            m_animation->pause();
        return;
    }
    if (m_animation->state() == QAbstractAnimation::Paused)
        m_animation->resume();
    else if (m_animation->state() == QAbstractAnimation::Stopped)
        m_animation->start();
}

void Crawler::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event)
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (m_backgroundColor.alpha() > 0)
        painter.fillRect(rect(), m_backgroundColor);

    const qreal side = qMin(width(), height());
    const QPointF centre = QRectF(rect()).center();
    const qreal orbit = side * orbitShare;
    const qreal dotRadius = side * dotShare;

    painter.setPen(Qt::NoPen);
    // Followers first, so the leader is drawn on top where they overlap.
    for (int i = dotCount - 1; i >= 0; --i) {
        qreal u = m_phase - i * followerLag;
        u -= std::floor(u);
        // Clockwise from twelve o'clock.
        const qreal angle = 2 * std::numbers::pi * crawl(u) - std::numbers::pi / 2;
        const QPointF position = centre + QPointF(std::cos(angle), std::sin(angle)) * orbit;
        const qreal radius = dotRadius * (1.0 - 0.13 * i);

        QColor color = m_foregroundColor;
        color.setAlphaF(color.alphaF() * (1.0 - 0.19 * i));
        painter.setBrush(color);
        painter.drawEllipse(position, radius, radius);
    }
}

} // namespace Orvex
