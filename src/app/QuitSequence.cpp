#include "QuitSequence.h"

#include "tray/StatusMenuHandler.h"
#include "platform/VPNConnection.h"
#include "platform/VPNManager.h"
#include "vpn/VPNService.h"

#include <QCoreApplication>
#include <QEventLoop>

namespace Orvex {

namespace {

bool isDown(VPNStatus status)
{
    return status == VPNStatus::Disconnected || status == VPNStatus::Invalid;
}

} // namespace

QuitSequence::QuitSequence(VPNService &service, QObject *parent)
    : QObject(parent)
    , exitApplication([] { QCoreApplication::quit(); })
    , m_service(service)
{
    m_bound.setSingleShot(true);
    m_bound.setInterval(boundMs);
    connect(&m_bound, &QTimer::timeout, this, [this] { finish(); });
}

void QuitSequence::exitAfterQuitPath()
{
    finish();
}

void QuitSequence::end()
{
    if (m_finished || m_ending)
        return;
    m_ending = true;
    m_bound.start();
    const auto finished = [this] { finish(); };
    const auto stopThenFinish = [this] { stopAndFinish(); };
    StatusMenuHandler::quit(service(), finished, stopThenFinish);
}

void QuitSequence::stopAndFinish()
{
    // The configuration could not be saved, yet the process is going: at
    // least the tunnel must not outlive it.
    VPNConnection *connection = service().manager()->connection();
    if (isDown(connection->status())) {
        finish();
        return;
    }
    connect(connection, &VPNConnection::statusDidChange, this, [this, connection] {
        if (isDown(connection->status()))
            finish();
    });
    service().stopTunnel();
}

void QuitSequence::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_bound.stop();
    m_clean = isDown(service().manager()->connection()->status());
    if (exitApplication)
        exitApplication();
}

void QuitSequence::finishBeforeExit()
{
    if (m_finished)
        return;
    QEventLoop loop;
    const std::function<void()> exit = exitApplication;
    exitApplication = [&loop] { loop.quit(); };
    end();
    if (!m_finished)
        loop.exec();
    exitApplication = exit;
}

} // namespace Orvex
