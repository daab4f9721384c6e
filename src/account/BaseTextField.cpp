#include "BaseTextField.h"

#include <QApplication>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>

namespace Orvex {

namespace {

// The application's style with a caret of no width, so that only the field's
// own caret shows.
class NoCaretStyle final : public QProxyStyle
{
public:
    int pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const override
    {
        if (metric == PM_TextCursorWidth)
            return 0;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

QStyle *noCaretStyle()
{
    static QPointer<NoCaretStyle> style;
    if (!style) {
        style = new NoCaretStyle;
        style->setParent(qApp);
    }
    return style;
}

} // namespace

BaseTextField::BaseTextField(QWidget *parent)
    : QLineEdit(parent)
{
    // The style goes first: a style sheet wraps the style the widget has.
    setStyle(noCaretStyle());
    setMinimumHeight(36);
    setMaximumHeight(36);
    // No "color" here: it would replace the text colour the field is given.
    setStyleSheet(
        QStringLiteral("QLineEdit { background: white; border: 1px solid #D2D2D7; border-radius: 6px;"
                       " padding: 0 10px; font-size: 14px; selection-background-color: #F2A53C;"
                       " selection-color: white; }"
                       "QLineEdit:focus { border: 2px solid #F2A53C; padding: 0 9px; }"
                       "QLineEdit:disabled { background: #F2F2F5; }"));

    connect(&m_blink, &QTimer::timeout, this, [this] {
        m_caretVisible = !m_caretVisible;
        update();
    });
    // Typing and moving the caret show it steadily, as everywhere else.
    connect(this, &QLineEdit::cursorPositionChanged, this, &BaseTextField::restartBlinking);
    connect(this, &QLineEdit::textChanged, this, &BaseTextField::restartBlinking);
}

void BaseTextField::setTextColor(const std::optional<QColor> &color)
{
    m_textColor = color;
    if (color) {
        QPalette colours = palette();
        colours.setColor(QPalette::Text, *color);
        setPalette(colours);
    }
    if (hasFocus())
        m_caretColor = m_textColor.value_or(QColor(Qt::black));
    update();
}

void BaseTextField::focusInEvent(QFocusEvent *event)
{
    QLineEdit::focusInEvent(event);
    m_caretColor = m_textColor.value_or(QColor(Qt::black));
    restartBlinking();
}

void BaseTextField::focusOutEvent(QFocusEvent *event)
{
    m_blink.stop();
    m_caretVisible = false;
    QLineEdit::focusOutEvent(event);
}

void BaseTextField::restartBlinking()
{
    if (!hasFocus())
        return;
    m_caretVisible = true;
    const int flashTime = QApplication::cursorFlashTime();
    if (flashTime > 0)
        m_blink.start(flashTime / 2);
    else
        m_blink.stop();
    update();
}

void BaseTextField::paintEvent(QPaintEvent *event)
{
    QLineEdit::paintEvent(event);
    if (!hasFocus() || !m_caretVisible || isReadOnly())
        return;
    // QLineEdit's cursor rectangle reaches 5 px to the left of the caret.
    const QRect around = cursorRect();
    QPainter painter(this);
    painter.fillRect(QRect(around.left() + 5, around.top(), 1, around.height() - 1), m_caretColor);
}

} // namespace Orvex
