#pragma once

#include "tray/StatusMenuItem.h"

#include <QAction>

#include <optional>

namespace Orvex {

// An entry of the tray menu together with the choice it stands for.
class MenuItem final : public QAction
{
    Q_OBJECT

public:
    explicit MenuItem(const QString &title, QObject *parent = nullptr);

    std::optional<StatusMenuItem> menuItem;

    // Another MenuItem whose choices are equal, or which both carry none.
    bool isEqual(const QObject *other) const;
};

} // namespace Orvex
