#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

namespace Orvex {

class VPNService;

// Every way the client ends goes through the tunnel service's quit path
// (shared-secret authentication and on-demand off saved, the tunnel stopped,
// then exit): Quit in either menu, closing the window where no tray can bring
// it back, a termination signal, and the session ending.
//
// The menus' Quit may fail and leave the client running, so the user can try
// again. The other ways must end the process: when the configuration cannot
// be saved the tunnel is stopped all the same, and the whole sequence is
// bounded by `boundMs`.
class QuitSequence final : public QObject
{
    Q_OBJECT

public:
    // On the process's tunnel service (tests hand one over with a fake
    // backend).
    explicit QuitSequence(VPNService &service, QObject *parent = nullptr);

    // Ends the process (QCoreApplication::quit by default); tests count calls.
    std::function<void()> exitApplication;

    // For the menus: runs once their quit path has finished.
    void exitAfterQuitPath();
    // The window closed without a tray, a termination signal, the session
    // ending: ends the process within `boundMs`, whatever the tunnel does.
    void end();
    // Ends the process now, without waiting any longer for the tunnel.
    void endNow() { finish(); }
    // For QCoreApplication::aboutToQuit: when the event loop is ending
    // without the quit path having run (Qt's own quit at the end of a
    // session, for one), runs it here in a local loop, within `boundMs`.
    void finishBeforeExit();

    bool hasFinished() const { return m_finished; }
    // Finished with the tunnel known to be down: nothing is left for the
    // next start to clear.
    bool leftNothingBehind() const { return m_finished && m_clean; }

    static constexpr int boundMs = 5000;

private:
    void finish();
    void stopAndFinish();

    VPNService &service() const { return m_service; }

    VPNService &m_service;
    bool m_ending = false;
    bool m_finished = false;
    bool m_clean = false;
    QTimer m_bound;
};

} // namespace Orvex
