#pragma once

#include <QObject>

class QSocketNotifier;

namespace Orvex {

// Turns the signals that ask the process to end (SIGTERM at logout or from
// the service manager, SIGINT from a terminal, SIGHUP when the terminal goes)
// into a Qt signal on the main thread, so the client can end the way its menus
// do rather than die with the tunnel up. One instance per process.
class TerminationSignals final : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    // False when the handlers could not be installed (the signals then keep
    // their default action).
    bool isInstalled() const { return m_notifier != nullptr; }

Q_SIGNALS:
    // One of the signals above arrived; `count` is how many have arrived so
    // far, so a second Ctrl+C can mean "now".
    void terminationRequested(int signalNumber, int count);

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
    int m_count = 0;
};

} // namespace Orvex
