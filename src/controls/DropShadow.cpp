#include "DropShadow.h"

#include "controls/View.h"

#include <QGraphicsDropShadowEffect>
#include <QWidget>

namespace Orvex {

namespace {

// Tells our shadow apart from an effect somebody else put on the widget, so
// that removing the shadow never takes theirs away.
const char shadowObjectName[] = "orvexDropShadow";

QGraphicsDropShadowEffect *standardShadow(const QWidget *widget)
{
    auto effect = qobject_cast<QGraphicsDropShadowEffect *>(widget->graphicsEffect());
    if (effect && effect->objectName() == QLatin1String(shadowObjectName))
        return effect;
    return nullptr;
}

} // namespace

QGraphicsDropShadowEffect *applyDropShadow(QWidget *widget)
{
    Q_ASSERT(widget);
    if (QGraphicsDropShadowEffect *existing = standardShadow(widget))
        return existing;

    auto effect = new QGraphicsDropShadowEffect(widget);
    effect->setObjectName(QLatin1String(shadowObjectName));
    QColor color(Qt::black);
    color.setAlphaF(dropShadowOpacity);
    effect->setColor(color);
    effect->setOffset(0, 0);
    effect->setBlurRadius(dropShadowBlurRadius);
    widget->setGraphicsEffect(effect);

    if (auto view = qobject_cast<View *>(widget))
        view->setCornerRadius(dropShadowCornerRadius);
    return effect;
}

void removeDropShadow(QWidget *widget)
{
    Q_ASSERT(widget);
    if (standardShadow(widget))
        widget->setGraphicsEffect(nullptr);
}

bool hasDropShadow(const QWidget *widget)
{
    return widget && standardShadow(widget);
}

} // namespace Orvex
