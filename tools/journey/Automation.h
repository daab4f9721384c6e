#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <vector>

class QWidget;

namespace Orvex {

class VPNService;

struct AppContext;

// The driver of orvex-journey: it walks the real screens and handlers of the
// client through its main journey, for the headless demo and the end-to-end
// test. It clicks the real buttons and types into the real fields; nothing of
// the client's logic is repeated here. The journey is named on the command
// line, its surroundings come from the environment:
//
//   journey                        the journey below (the default)
//   unreachable-service            sign-in while the service is down
//   ORVEX_AUTOMATION_SHOTS=DIR     a screenshot of each step's screen
//   ORVEX_AUTOMATION_SERVICE=URL   the dev service (its /dev routes: the SMS outbox)
//   ORVEX_AUTOMATION_GATEWAY=FILE  the test gateway's environment file (root runs):
//                                  the tunnel steps and their ping check run then
//
// Each step prints one line with its outcome; the process exits 0 when every
// step passed, 1 at the first failure, 2 for an unknown journey.
class Automation final : public QObject
{
    Q_OBJECT

public:
    using Done = std::function<void(bool ok, const QString &note)>;
    struct Step
    {
        QString title;
        std::function<bool()> ready;           // polled until true
        std::function<void(Done done)> action; // then run once
        int timeoutMs = 20000;
        bool endsProcess = false; // the action quits the client itself
    };

    // Starts the journey called `which` once the event loop runs, on the
    // client's objects in `context`.
    static void begin(const QString &which, const AppContext &context, VPNService &service, QObject *parent);

    explicit Automation(std::vector<Step> steps, const QString &shotsDir, QObject *parent = nullptr);
    void start();

    // The steps of the journey, for `environment` as described above.
    static std::vector<Step> journey(const AppContext &context, VPNService &service);
    // Start screen, then a sign-in that cannot reach the service: the alert
    // and its message, and the form usable again once it is dismissed.
    static std::vector<Step> unreachableService();

private:
    void poll();
    void finishStep(bool ok, const QString &note);
    void screenshot(const QString &name) const;
    void fail(const QString &why);

    std::vector<Step> m_steps;
    QString m_shotsDir;
    size_t m_index = 0;
    bool m_running = false;
    QTimer m_poll;
    QElapsedTimer m_stepClock;
    QElapsedTimer m_totalClock;
};

} // namespace Orvex
