#include "CountryPopUpButton.h"

#include <QAbstractItemView>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace Orvex {

CountryPopUpButton::CountryPopUpButton(QWidget *parent)
    : QComboBox(parent)
{
    setIconSize(QSize(16, 16));
    setMaxVisibleItems(12);
    setMinimumHeight(36);
    setMaximumHeight(36);
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    setMinimumContentsLength(12);
    // combobox-popup 0: a scrolling list of maxVisibleItems rows instead of
    // one as tall as the screen.
    setStyleSheet(QStringLiteral(
        "QComboBox { combobox-popup: 0; background: white; border: 1px solid #D2D2D7;"
        " border-radius: 6px; padding: 0 10px; font-size: 14px; }"
        "QComboBox:focus, QComboBox:on { border: 2px solid #F2A53C; padding: 0 9px; }"
        "QComboBox::drop-down { border: none; width: 30px; }"
        "QComboBox::down-arrow { image: none; width: 0; height: 0; }"
        "QComboBox QAbstractItemView { background: white; border: 1px solid #D2D2D7;"
        " outline: 0; selection-background-color: #F2A53C; selection-color: white; padding: 2px; }"
        "QComboBox QAbstractItemView::item { min-height: 24px; padding: 0 6px; }"));
}

QRect CountryPopUpButton::confinementRect(const QRect &button, const QSize &popup, const QRect &window)
{
    const int width = std::min(popup.width(), window.width());
    const int height = std::min(popup.height(), window.height());
    const int x = std::clamp(button.left(), window.left(), window.right() + 1 - width);
    const int y = std::clamp(button.bottom() + 1, window.top(), window.bottom() + 1 - height);
    return QRect(x, y, width, height);
}

void CountryPopUpButton::paintEvent(QPaintEvent *event)
{
    QComboBox::paintEvent(event);
    // The style sheet's drop-down has no arrow of its own: a chevron like the
    // system's, in the secondary text colour.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x6E, 0x6E, 0x73), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const QPointF centre(width() - 18, height() / 2.0);
    QPainterPath chevron;
    chevron.moveTo(centre + QPointF(-4.5, -2));
    chevron.lineTo(centre + QPointF(0, 2.5));
    chevron.lineTo(centre + QPointF(4.5, -2));
    painter.drawPath(chevron);
}

void CountryPopUpButton::showPopup()
{
    QComboBox::showPopup();
    QWidget *popup = view()->window();
    if (popup == window())
        return;
    const QRect windowRect(window()->mapToGlobal(QPoint(0, 0)), window()->size());
    const QRect buttonRect(mapToGlobal(QPoint(0, 0)), size());
    popup->setGeometry(confinementRect(buttonRect, popup->size(), windowRect));
    // The chosen country in the middle of the list, with its neighbours
    // above and below.
    if (currentIndex() >= 0)
        view()->scrollTo(view()->currentIndex(), QAbstractItemView::PositionAtCenter);
}

} // namespace Orvex
