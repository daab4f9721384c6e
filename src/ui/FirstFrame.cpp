#include "FirstFrame.h"

#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <utility>
#include <vector>

namespace Orvex::FirstFrame {

namespace {

class Gate final : public QObject
{
public:
    void hold(QWidget *window)
    {
        m_window = window;
        m_held = true;
        window->installEventFilter(this);
        QTimer::singleShot(fallbackMs, this, [this] { release(); });
    }

    void run(QObject *context, std::function<void()> work)
    {
        if (!m_held) {
            work();
            return;
        }
        m_waiting.emplace_back(QPointer<QObject>(context), std::move(work));
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Seen before the window paints: the queued call runs once the
        // frame is painted and flushed.
        if (watched == m_window && event->type() == QEvent::Paint) {
            m_window->removeEventFilter(this);
            QTimer::singleShot(0, this, [this] { release(); });
        }
        return false;
    }

private:
    void release()
    {
        if (!m_held)
            return;
        m_held = false;
        if (m_window)
            m_window->removeEventFilter(this);
        auto waiting = std::exchange(m_waiting, {});
        for (auto &[context, work] : waiting) {
            if (context)
                work();
        }
    }

    QPointer<QWidget> m_window;
    bool m_held = false;
    std::vector<std::pair<QPointer<QObject>, std::function<void()>>> m_waiting;
};

Gate &gate()
{
    static Gate *instance = new Gate;
    return *instance;
}

} // namespace

void holdUntilPainted(QWidget *window)
{
    gate().hold(window);
}

void run(QObject *context, std::function<void()> work)
{
    gate().run(context, std::move(work));
}

} // namespace Orvex::FirstFrame
