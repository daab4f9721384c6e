#pragma once

#include <QtGlobal>

class QGraphicsDropShadowEffect;
class QWidget;

namespace Orvex {

// The one shadow look of the client: black at 30 % opacity, centred under the
// widget (offset 0 × 0), softly blurred. Buttons carry it by default and the
// alert's container gets it.
//
// A widget holds only one QGraphicsEffect; setting another deletes the one it
// had. The shadow therefore goes on the controls *inside* a screen, never on a
// screen widget itself: navigation fades whole screens with a
// QGraphicsOpacityEffect on the screen widget, and would replace a shadow
// there. On different widgets the two coexist: Qt renders the shadowed child
// (shadow included) into the screen's own effect pass, which then fades it.
//
// applyDropShadow() replaces any other effect the widget has; calling it again
// on a widget that already carries the shadow keeps that shadow. The widget
// owns the effect. A View given the shadow rounds its background with
// dropShadowCornerRadius so the shadow follows the rounded shape.
QGraphicsDropShadowEffect *applyDropShadow(QWidget *widget);

// Removes the standard shadow; any other effect on the widget stays.
void removeDropShadow(QWidget *widget);
bool hasDropShadow(const QWidget *widget);

inline constexpr qreal dropShadowOpacity = 0.3;
inline constexpr qreal dropShadowCornerRadius = 4;
// The look is specified as a 5-pt shadow radius in Core Animation terms, where
// the radius is about half of the visible blur extent; Qt's blur radius is
// the whole extent.
inline constexpr qreal dropShadowBlurRadius = 10;

} // namespace Orvex
