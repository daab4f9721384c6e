#pragma once

#include <QObject>

namespace Orvex {

// How far the machine's network reaches, as the system's own connectivity
// check last found it. A source that knows nothing stays Unknown; this base
// class is such a source.
class NetworkConnectivity : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Unknown, // no check, or nobody to ask
        None,    // no network at all
        Portal,  // a sign-in page stands between this network and the internet
        Limited, // a network, but no internet behind it
        Full,
    };
    Q_ENUM(State)

    explicit NetworkConnectivity(QObject *parent = nullptr);
    ~NetworkConnectivity() override;

    State state() const { return m_state; }

Q_SIGNALS:
    void changed(Orvex::NetworkConnectivity::State state);

protected:
    // A finding of the source; told only when it differs from the last.
    void report(State state);

private:
    State m_state = State::Unknown;
};

} // namespace Orvex
