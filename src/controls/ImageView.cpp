#include "ImageView.h"

#include <QPainter>
#include <QStyle>

namespace Orvex {

ImageView::ImageView(QWidget *parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void ImageView::setImage(const QIcon &image)
{
    m_image = image;
    updateGeometry();
    update();
}

void ImageView::setImage(const QPixmap &image)
{
    setImage(image.isNull() ? QIcon() : QIcon(image));
}

QSize ImageView::fittedSize(const QSize &bounds) const
{
    if (m_image.isNull() || bounds.isEmpty())
        return {};
    const QList<QSize> sizes = m_image.availableSizes();
    // A scalable image reports no sizes of its own: asked for the bounds, it
    // answers them fitted to its proportions. That is the very pixmap painted
    // next, so nothing is rendered larger than the view (a large probe would
    // render megabytes on every repaint and crowd the pixmap cache).
    QSize size = sizes.isEmpty() ? m_image.actualSize(bounds) : sizes.constLast();
    if (!size.isEmpty())
        size.scale(bounds, Qt::KeepAspectRatio);
    return size;
}

QRect ImageView::imageRect() const
{
    const QSize size = fittedSize(this->size());
    if (size.isEmpty())
        return {};
    return QStyle::alignedRect(layoutDirection(), Qt::AlignCenter, size, rect());
}

QSize ImageView::sizeHint() const
{
    const QList<QSize> sizes = m_image.availableSizes();
    return sizes.isEmpty() ? QSize() : sizes.constLast();
}

void ImageView::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event)
    const QRect target = imageRect();
    if (target.isEmpty())
        return;
    QPainter painter(this);
    painter.setClipRect(rect());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QIcon::Mode mode = isEnabled() ? QIcon::Normal : QIcon::Disabled;
    painter.drawPixmap(target, m_image.pixmap(target.size(), devicePixelRatioF(), mode));
}

} // namespace Orvex
