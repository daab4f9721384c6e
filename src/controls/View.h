#pragma once

#include <QColor>
#include <QWidget>

namespace Orvex {

// A plain container with two switches for the mouse, used as the progress
// overlay, as containers in the forms and for screens being dismissed.
//
// isInteractionEnabled (default true): when false, the view and every widget
// inside it are invisible to the mouse; a click anywhere on it, children
// included, reaches whatever lies beneath (a sibling under it, else its parent).
//
// canFallThrought (default false): what happens to a press the view itself
// receives (not one taken by a child): false swallows it, true lets it go on
// to the parent widget, as an ignored event does.
//
// The view paints an optional background, rounded by cornerRadius; style
// sheets work as on any QWidget.
class View : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool isInteractionEnabled READ isInteractionEnabled WRITE setInteractionEnabled)
    Q_PROPERTY(bool canFallThrought READ canFallThrought WRITE setCanFallThrought)
    Q_PROPERTY(QColor backgroundColor READ backgroundColor WRITE setBackgroundColor)
    Q_PROPERTY(qreal cornerRadius READ cornerRadius WRITE setCornerRadius)

public:
    explicit View(QWidget *parent = nullptr);

    bool isInteractionEnabled() const;
    void setInteractionEnabled(bool enabled);

    bool canFallThrought() const { return m_canFallThrought; }
    void setCanFallThrought(bool canFallThrought);

    // Invalid (the default) or fully transparent paints no background.
    QColor backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(const QColor &color);

    qreal cornerRadius() const { return m_cornerRadius; }
    void setCornerRadius(qreal radius);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_canFallThrought = false;
    QColor m_backgroundColor;
    qreal m_cornerRadius = 0;
};

} // namespace Orvex
