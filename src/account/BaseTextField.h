#pragma once

#include "account/InputValidator.h"

#include <QColor>
#include <QLineEdit>
#include <QTimer>

#include <optional>

namespace Orvex {

// What every text field of the account screens shares: the rule its screen
// checks the text against (the field itself never runs it), the look (36 px
// high, rounded, an orange outline while focused), and a caret in the
// field's own text colour, black when the field has none. QLineEdit always
// paints its caret black, so the field hides that one and draws its own,
// blinking at the system's rate.
class BaseTextField : public QLineEdit
{
    Q_OBJECT

public:
    explicit BaseTextField(QWidget *parent = nullptr);

    // The rule the screen checks before sending; none by default.
    std::optional<InputValidator> validator;

    // The colour of the text and the caret; absent keeps the palette's text
    // colour for the text and makes the caret black.
    std::optional<QColor> textColor() const { return m_textColor; }
    void setTextColor(const std::optional<QColor> &color);

    // The colour the caret is drawn in while the field has the focus.
    QColor caretColor() const { return m_caretColor; }

protected:
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void restartBlinking();

    std::optional<QColor> m_textColor;
    QColor m_caretColor = Qt::black;
    QTimer m_blink;
    bool m_caretVisible = false;
};

} // namespace Orvex
