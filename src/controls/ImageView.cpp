#include "ImageView.h"

#include <QPainter>
#include <QStyle>

namespace Orvex {

namespace {

// Scalable icons report no sizes of their own; asking for a large square
// yields their proportions.
constexpr int probeSide = 1024;

} // namespace

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

QSize ImageView::naturalSize() const
{
    if (m_image.isNull())
        return {};
    const QList<QSize> sizes = m_image.availableSizes();
    if (!sizes.isEmpty())
        return sizes.constLast();
    return m_image.actualSize(QSize(probeSide, probeSide));
}

QRect ImageView::imageRect() const
{
    QSize size = naturalSize();
    if (size.isEmpty() || rect().isEmpty())
        return {};
    size.scale(this->size(), Qt::KeepAspectRatio);
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
