#pragma once

#include "platform/Pace.h"
#include "ui/NavigationDirection.h"

#include <QRect>

class QWidget;

namespace Orvex {

class ViewController;

// Animates a screen in over its presenter and out again. Every animation takes
// 0.7 s, read through `pace`; a sliding screen always leaves to the right,
// fading out.
class SegueAnimator
{
public:
    explicit SegueAnimator(NavigationDirection direction, Pace pace = {})
        : m_direction(direction)
        , m_pace(pace)
    {}

    NavigationDirection direction() const { return m_direction; }

    void animatePresentation(ViewController *controller, QWidget *host);
    void animateDismissal(ViewController *controller, ViewController *presenter);

    static constexpr int durationMs = 700;

    // Where the presentation starts, for a presenter frame `f`.
    static QRect startFrame(NavigationDirection direction, const QRect &f);
    static qreal startAlpha(NavigationDirection direction);

private:
    int duration() const { return m_pace.scaled(durationMs); }

    NavigationDirection m_direction;
    Pace m_pace;
};

} // namespace Orvex
