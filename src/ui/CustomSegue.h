#pragma once

#include "ui/NavigationDirection.h"

#include <QPointer>
#include <QString>
#include <QWidget>

namespace Orvex {

class ViewController;

// A transition from one screen to another; its identifier names the direction.
class CustomSegue
{
public:
    CustomSegue(const QString &identifier, ViewController *source, ViewController *destination);
    CustomSegue(NavigationDirection direction, ViewController *source, ViewController *destination);

    QString identifier() const { return m_identifier; }
    // Presents the destination over the source with the direction's animation;
    // an identifier that names no direction performs nothing.
    void perform(QWidget *visualHost = nullptr);

private:
    QString m_identifier;
    QPointer<ViewController> m_source;
    QPointer<ViewController> m_destination;
};

} // namespace Orvex
