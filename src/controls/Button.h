#pragma once

#include <QColor>
#include <QPushButton>

#include <optional>

namespace Orvex {

// The client's action button ("Turn ON", "Sign In"): a flat coloured face with
// a rounded outline, the title painted in its own colour and font, and the
// standard drop shadow. Hover, press, keyboard focus and the disabled state
// each have their own look; activation by mouse and keyboard is QPushButton's.
//
// The title is painted with the button's alignment (centred by default), in
// the button's own font when one was set on it, else in the system font at
// 17 pt, and in titleColor, white when that is absent. With a borderColor the
// button gets the bordered look: a 2-px outline in that colour, corners
// rounded by 8 instead of 4. The face is backgroundColor; unless one is set,
// a plain button is the brand orange and a bordered one is see-through (the
// outlined secondary button beside an orange one).
class Button : public QPushButton
{
    Q_OBJECT
    Q_PROPERTY(QString title READ title WRITE setTitle)
    // Invalid colours stand for "absent", so forms can set these as plain
    // colour properties.
    Q_PROPERTY(QColor borderColor READ borderColorProperty WRITE setBorderColorProperty)
    Q_PROPERTY(QColor titleColor READ titleColorProperty WRITE setTitleColorProperty)
    Q_PROPERTY(QColor backgroundColor READ backgroundColor WRITE setBackgroundColor RESET resetBackgroundColor)
    Q_PROPERTY(bool dropShadow READ dropShadow WRITE setDropShadow)
    Q_PROPERTY(Qt::Alignment alignment READ alignment WRITE setAlignment)

public:
    explicit Button(QWidget *parent = nullptr);
    explicit Button(const QString &title, QWidget *parent = nullptr);

    QString title() const { return m_title; }
    void setTitle(const QString &title);
    // Forms and translation code set a button's text; on a Button that is
    // its title.
    void setText(const QString &text) { setTitle(text); }

    std::optional<QColor> borderColor() const { return m_borderColor; }
    void setBorderColor(const std::optional<QColor> &color);

    std::optional<QColor> titleColor() const { return m_titleColor; }
    void setTitleColor(const std::optional<QColor> &color);

    QColor backgroundColor() const;
    void setBackgroundColor(const QColor &color);
    void resetBackgroundColor();

    bool dropShadow() const { return m_dropShadow; }
    void setDropShadow(bool dropShadow);

    Qt::Alignment alignment() const { return m_alignment; }
    void setAlignment(Qt::Alignment alignment);

    // What the title is painted with.
    QFont titleFont() const;
    QColor effectiveTitleColor() const;
    qreal cornerRadius() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    static QColor brandColor();
    static constexpr qreal defaultTitlePointSize = 17;
    static constexpr qreal borderWidth = 2;
    static constexpr qreal borderedCornerRadius = 8;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor borderColorProperty() const { return m_borderColor.value_or(QColor()); }
    void setBorderColorProperty(const QColor &color);
    QColor titleColorProperty() const { return m_titleColor.value_or(QColor()); }
    void setTitleColorProperty(const QColor &color);

    QString m_title;
    std::optional<QColor> m_borderColor;
    std::optional<QColor> m_titleColor;
    bool m_dropShadow = true;
    std::optional<QColor> m_backgroundColor;
    Qt::Alignment m_alignment = Qt::AlignCenter;
};

} // namespace Orvex
