#pragma once

#include <QCoreApplication>
#include <QIcon>
#include <QString>

#include <variant>

namespace Orvex {

// One entry of the tray menu. Entries are told apart by their title alone:
// two entries with the same title are the same choice.
class StatusMenuItem
{
    Q_DECLARE_TR_FUNCTIONS(Orvex::StatusMenuItem)

public:
    // Connects or disconnects; reads "Disconnect" while the tunnel is up.
    struct Action
    {
        bool connected = false;
    };
    struct Custom
    {
        QString title;
        QIcon image;
    };
    struct Show
    {};
    struct Quit
    {};

    static StatusMenuItem action(bool connected) { return StatusMenuItem(Action{connected}); }
    static StatusMenuItem custom(const QString &title, const QIcon &image = {})
    {
        return StatusMenuItem(Custom{title, image});
    }
    static StatusMenuItem show() { return StatusMenuItem(Show{}); }
    static StatusMenuItem quit() { return StatusMenuItem(Quit{}); }

    bool isCustom() const { return std::holds_alternative<Custom>(m_value); }
    bool isShow() const { return std::holds_alternative<Show>(m_value); }
    bool isQuit() const { return std::holds_alternative<Quit>(m_value); }

    QString title() const;
    // The picture of a custom entry; none for the others.
    QIcon image() const;

    bool operator==(const StatusMenuItem &other) const { return title() == other.title(); }

private:
    using Value = std::variant<Action, Custom, Show, Quit>;
    explicit StatusMenuItem(Value value)
        : m_value(std::move(value))
    {}

    Value m_value;
};

} // namespace Orvex
