#pragma once

// main() of a desktop test: a display and a session bus of the test's own,
// both started before the QApplication, which connects to them once.

#include "PrivateBus.h"

#include <QApplication>
#include <QTest>

#include <cstdio>

template<typename Test, typename Display>
int runOnOwnDesktop(int argc, char *argv[], bool quitOnLastWindowClosed = true)
{
    Display display;
    PrivateBus bus;
    if (!display.isRunning() || !bus.isRunning()) {
        std::fprintf(stderr, "%s\n", qPrintable(display.isRunning() ? bus.error() : display.error()));
        return 1;
    }
    display.exportAsDisplay();
    bus.exportAsSessionBus();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(quitOnLastWindowClosed);
    Test test;
    return QTest::qExec(&test, argc, argv);
}
