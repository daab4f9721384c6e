#pragma once

#include <QIcon>
#include <QWidget>

namespace Orvex {

// Shows one image as large as fits, its aspect ratio kept, centred and
// clipped to the view's bounds. The image is a QIcon, so a named image (an
// SVG) is rendered afresh at the size and pixel density of the moment, and
// stays sharp when the view is resized or moves to a HiDPI screen.
class ImageView : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QIcon image READ image WRITE setImage)

public:
    explicit ImageView(QWidget *parent = nullptr);

    QIcon image() const { return m_image; }
    void setImage(const QIcon &image);
    void setImage(const QPixmap &image);

    // Where the image lands inside the view: the largest rectangle of the
    // image's proportions that fits, centred. Empty when there is no image.
    QRect imageRect() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // The image's size scaled to fit `bounds`, its proportions kept.
    QSize fittedSize(const QSize &bounds) const;

    QIcon m_image;
};

} // namespace Orvex
