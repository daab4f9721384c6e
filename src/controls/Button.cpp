#include "Button.h"

#include "controls/DropShadow.h"

#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionButton>

namespace Orvex {

namespace {

constexpr int horizontalPadding = 20;
constexpr int verticalPadding = 10;
constexpr int iconSpacing = 8;
constexpr qreal disabledOpacity = 0.45;

// Hover and press tint the face rather than swapping colours, so any
// background colour gets sensible states: a solid face lightens on hover and
// darkens when pressed; a see-through (outlined) face is washed with the
// outline colour instead.
QColor stateWash(const QColor &face, const QColor &outline, bool pressed)
{
    if (face.alphaF() >= 0.5)
        return pressed ? QColor(0, 0, 0, 36) : QColor(255, 255, 255, 38);
    QColor wash = outline;
    wash.setAlphaF(pressed ? 0.22 : 0.10);
    return wash;
}

} // namespace

Button::Button(QWidget *parent)
    : Button(QString(), parent)
{}

Button::Button(const QString &title, QWidget *parent)
    : QPushButton(parent)
{
    // Hover repaints need hover events; the pointing hand says "clickable" on
    // a face that has no native bevel.
    setAttribute(Qt::WA_Hover);
    setCursor(Qt::PointingHandCursor);
    setTitle(title);
    applyDropShadow(this);
}

QColor Button::brandColor()
{
    return QColor::fromRgbF(242 / 255.0f, 165 / 255.0f, 60 / 255.0f, 1.0f);
}

// The text is kept in QAbstractButton as well: it gives the button its
// accessible name and its mnemonic shortcut.
void Button::setTitle(const QString &title)
{
    m_title = title;
    QPushButton::setText(title);
    updateGeometry();
    update();
}

void Button::setBorderColor(const std::optional<QColor> &color)
{
    m_borderColor = color;
    update();
}

void Button::setBorderColorProperty(const QColor &color)
{
    setBorderColor(color.isValid() ? std::optional<QColor>(color) : std::nullopt);
}

void Button::setTitleColor(const std::optional<QColor> &color)
{
    m_titleColor = color;
    update();
}

void Button::setTitleColorProperty(const QColor &color)
{
    setTitleColor(color.isValid() ? std::optional<QColor>(color) : std::nullopt);
}

QColor Button::backgroundColor() const
{
    if (m_backgroundColor)
        return *m_backgroundColor;
    return m_borderColor ? QColor(Qt::transparent) : brandColor();
}

void Button::setBackgroundColor(const QColor &color)
{
    m_backgroundColor = color;
    update();
}

void Button::resetBackgroundColor()
{
    m_backgroundColor.reset();
    update();
}

void Button::setDropShadow(bool dropShadow)
{
    m_dropShadow = dropShadow;
    if (dropShadow)
        applyDropShadow(this);
    else
        removeDropShadow(this);
}

void Button::setAlignment(Qt::Alignment alignment)
{
    m_alignment = alignment;
    update();
}

// Only a font set on this very button counts as "its font"; one inherited
// from the screen does not, so the title keeps its own size in every form.
QFont Button::titleFont() const
{
    if (testAttribute(Qt::WA_SetFont))
        return font();
    QFont systemFont = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    systemFont.setPointSizeF(defaultTitlePointSize);
    return systemFont;
}

QColor Button::effectiveTitleColor() const
{
    return m_titleColor.value_or(QColor(Qt::white));
}

qreal Button::cornerRadius() const
{
    return m_borderColor ? borderedCornerRadius : dropShadowCornerRadius;
}

QSize Button::sizeHint() const
{
    const QFontMetrics metrics(titleFont());
    int width = metrics.horizontalAdvance(m_title);
    int height = metrics.height();
    if (!icon().isNull()) {
        width += iconSize().width() + (m_title.isEmpty() ? 0 : iconSpacing);
        height = qMax(height, iconSize().height());
    }
    return QSize(width + 2 * horizontalPadding, height + 2 * verticalPadding);
}

QSize Button::minimumSizeHint() const
{
    const QFontMetrics metrics(titleFont());
    return QSize(2 * horizontalPadding, metrics.height() + verticalPadding);
}

void Button::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event)
    QStyleOptionButton option;
    initStyleOption(&option);
    const bool enabled = option.state & QStyle::State_Enabled;
    const bool pressed = isDown() || isChecked();
    const bool hovered = enabled && (option.state & QStyle::State_MouseOver);
    const bool keyboardFocus = (option.state & QStyle::State_HasFocus)
                               && (option.state & QStyle::State_KeyboardFocusChange);

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    if (!enabled)
        painter.setOpacity(disabledOpacity);

    // The outline is stroked on its centre line, so the shape is inset by half
    // its width to keep the whole stroke inside the button.
    const qreal radius = cornerRadius();
    const qreal inset = m_borderColor ? borderWidth / 2 : 0;
    const QRectF bounds = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    QPainterPath shape;
    shape.addRoundedRect(bounds, radius, radius);

    const QColor face = backgroundColor();
    painter.fillPath(shape, face);
    const QColor outline = m_borderColor.value_or(effectiveTitleColor());
    if (pressed || hovered)
        painter.fillPath(shape, stateWash(face, outline, pressed));
    if (m_borderColor)
        painter.strokePath(shape, QPen(*m_borderColor, borderWidth));

    const QColor textColor = effectiveTitleColor();
    if (keyboardFocus) {
        QColor ring = textColor;
        ring.setAlphaF(ring.alphaF() * 0.85);
        const qreal ringInset = inset + 3.5;
        painter.setPen(QPen(ring, 1.5, Qt::SolidLine));
        painter.setBrush(Qt::NoBrush);
        const qreal ringRadius = qMax<qreal>(radius - 2, 3);
        painter.drawRoundedRect(QRectF(rect()).adjusted(ringInset, ringInset, -ringInset, -ringInset),
                                ringRadius, ringRadius);
    }

    QRect content = rect().adjusted(horizontalPadding, 0, -horizontalPadding, 0);
    if (!icon().isNull()) {
        const QSize size = iconSize();
        const QIcon::Mode mode = enabled ? QIcon::Normal : QIcon::Disabled;
        const QPixmap pixmap = icon().pixmap(size, devicePixelRatioF(), mode);
        if (m_title.isEmpty()) {
            painter.drawPixmap(QStyle::alignedRect(layoutDirection(), Qt::AlignCenter, size, rect()), pixmap);
            return;
        }
        const QRect target = QStyle::alignedRect(layoutDirection(), Qt::AlignLeft | Qt::AlignVCenter, size,
                                                 content);
        painter.drawPixmap(target, pixmap);
        content.setLeft(target.right() + 1 + iconSpacing);
    }

    painter.setFont(titleFont());
    painter.setPen(textColor);
    painter.drawText(content, int(m_alignment) | Qt::TextShowMnemonic, m_title);
}

} // namespace Orvex
