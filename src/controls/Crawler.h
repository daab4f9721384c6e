#pragma once

#include <QColor>
#include <QWidget>

class QVariantAnimation;

namespace Orvex {

// The indeterminate progress spinner of the progress overlay: a short chain
// of dots crawling around a circle, the leader largest and fully opaque, the
// followers smaller and fading behind it. The chain stretches where the dots
// speed up and bunches where they slow down, so it reads as motion even in a
// still frame.
//
// Nothing ticks unless the spinner is animating and visible: the frames come
// from one QVariantAnimation, stopped by setAnimate(false) and paused while
// the widget is hidden (then resumed where it was when it shows again).
class Crawler : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QColor foregroundColor READ foregroundColor WRITE setForegroundColor)
    Q_PROPERTY(QColor backgroundColor READ backgroundColor WRITE setBackgroundColor)
    Q_PROPERTY(bool animate READ animate WRITE setAnimate)

public:
    explicit Crawler(QWidget *parent = nullptr);

    QColor foregroundColor() const { return m_foregroundColor; }
    void setForegroundColor(const QColor &color);

    // Transparent by default; otherwise fills the whole square.
    QColor backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(const QColor &color);

    // Whether the spinner was asked to run; it only actually runs while it is
    // also visible.
    bool animate() const { return m_animate; }
    void setAnimate(bool animate);
    bool isRunning() const;

    QSize sizeHint() const override;

    static QColor defaultForegroundColor();
    static constexpr int defaultSide = 100;
    static constexpr int dotCount = 5;
    static constexpr int cycleMilliseconds = 1500;

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void updateAnimation();

    QVariantAnimation *m_animation = nullptr;
    QColor m_foregroundColor;
    QColor m_backgroundColor = Qt::transparent;
    qreal m_phase = 0;
    bool m_animate = false;
};

} // namespace Orvex
