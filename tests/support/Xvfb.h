#pragma once

// A private X server for one test process: Xvfb picks a free display itself
// (-displayfd), so parallel tests never race for a number, and the server is
// stopped by its process when the object goes. Start it before the
// QApplication, which connects to $DISPLAY once.
//
//     Xvfb x;
//     if (x.isRunning())
//         x.exportAsDisplay();
//     QApplication app(argc, argv);

#include "ProgramRun.h"

#include <QByteArray>
#include <QString>

class Xvfb
{
public:
    Xvfb()
    {
        m_process.setProgram(QStringLiteral("Xvfb"));
        m_process.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                QStringLiteral("0"), QStringLiteral("1024x768x24"),
                                QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        endsWithThisProcess(m_process);
        m_process.start();
        if (!m_process.waitForStarted(10000)) {
            m_error = QStringLiteral("Xvfb did not start: ") + m_process.errorString();
            return;
        }
        // The display number, once the server accepts connections.
        QByteArray line;
        while (!line.contains('\n') && m_process.waitForReadyRead(10000))
            line += m_process.readAllStandardOutput();
        bool ok = false;
        const int number = line.trimmed().toInt(&ok);
        if (!ok) {
            m_error = QStringLiteral("Xvfb gave no display: ")
                      + QString::fromLocal8Bit(m_process.readAllStandardError());
            stop();
            return;
        }
        m_display = QStringLiteral(":%1").arg(number);
    }

    ~Xvfb() { stop(); }

    Xvfb(const Xvfb &) = delete;
    Xvfb &operator=(const Xvfb &) = delete;

    bool isRunning() const { return !m_display.isEmpty(); }
    QString error() const { return m_error; }

    // Makes this server the display of this process and the ones it starts.
    void exportAsDisplay() const
    {
        qputenv("DISPLAY", m_display.toLocal8Bit());
        qunsetenv("WAYLAND_DISPLAY");
        qputenv("QT_QPA_PLATFORM", "xcb");
    }

    void stop()
    {
        m_display.clear();
        endProcess(m_process);
    }

private:
    QProcess m_process;
    QString m_display;
    QString m_error;
};
