#include "View.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOption>

namespace Orvex {

View::View(QWidget *parent)
    : QWidget(parent)
{}

// Qt's hit testing (QWidget::childAt, which the application uses to pick the
// receiver of a mouse event) skips a widget marked transparent for mouse
// events together with its whole subtree and goes on with the widgets beneath
// it, which is exactly "invisible to the mouse". The children keep their own
// attributes, so switching back restores them as they were.
bool View::isInteractionEnabled() const
{
    return !testAttribute(Qt::WA_TransparentForMouseEvents);
}

void View::setInteractionEnabled(bool enabled)
{
    setAttribute(Qt::WA_TransparentForMouseEvents, !enabled);
}

void View::setCanFallThrought(bool canFallThrought)
{
    m_canFallThrought = canFallThrought;
}

void View::setBackgroundColor(const QColor &color)
{
    if (m_backgroundColor == color)
        return;
    m_backgroundColor = color;
    update();
}

void View::setCornerRadius(qreal radius)
{
    if (qFuzzyCompare(m_cornerRadius, radius))
        return;
    m_cornerRadius = radius;
    update();
}

// A press arrives here only when no child took it. Ignoring it is what sends
// it on to the parent; accepting it ends its journey. A double click reaches
// this handler too (QWidget's default forwards it here).
void View::mousePressEvent(QMouseEvent *event)
{
    if (m_canFallThrought)
        QWidget::mousePressEvent(event);
    else
        event->accept();
}

// The release belongs to the press: one that was swallowed must not show up
// at the parent on its own.
void View::mouseReleaseEvent(QMouseEvent *event)
{
    if (m_canFallThrought)
        QWidget::mouseReleaseEvent(event);
    else
        event->accept();
}

void View::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event)
    QPainter painter(this);

    QStyleOption option;
    option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);

    if (!m_backgroundColor.isValid() || m_backgroundColor.alpha() == 0)
        return;
    if (m_cornerRadius <= 0) {
        painter.fillRect(rect(), m_backgroundColor);
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_backgroundColor);
    painter.drawRoundedRect(QRectF(rect()), m_cornerRadius, m_cornerRadius);
}

} // namespace Orvex
