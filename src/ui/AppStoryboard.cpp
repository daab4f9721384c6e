#include "AppStoryboard.h"

#include <QHash>

#include <utility>

namespace Orvex {

QString storyboardName(AppStoryboard storyboard)
{
    switch (storyboard) {
    case AppStoryboard::Main:
        return QStringLiteral("Main");
    case AppStoryboard::Auth:
        return QStringLiteral("Auth");
    case AppStoryboard::Settings:
        return QStringLiteral("Settings");
    }
    return {};
}

namespace StoryboardRegistry {

namespace {

QHash<QString, Factory> &scenes()
{
    static QHash<QString, Factory> table;
    return table;
}

QHash<AppStoryboard, QString> &entries()
{
    static QHash<AppStoryboard, QString> table;
    return table;
}

const AppContext *&installedContext()
{
    static const AppContext *context = nullptr;
    return context;
}

const AppContext &currentContext()
{
    const AppContext *installed = installedContext();
    if (!installed) {
        qFatal("A screen was asked for before the application installed its context.");
    }
    return *installed;
}

Factory &firstScreen()
{
    static Factory factory;
    return factory;
}

QString key(AppStoryboard storyboard, const QString &identifier)
{
    return storyboardName(storyboard) + u'/' + identifier;
}

void ensureRegistered()
{
    static bool done = false;
    if (!done) {
        done = true;
        registerAllScenes();
    }
}

} // namespace

const AppContext *setContext(const AppContext *context)
{
    return std::exchange(installedContext(), context);
}

void registerScene(AppStoryboard storyboard, const QString &identifier, Factory factory)
{
    scenes().insert(key(storyboard, identifier), factory);
}

void registerEntry(AppStoryboard storyboard, const QString &identifier)
{
    entries().insert(storyboard, identifier);
}

QString entry(AppStoryboard storyboard)
{
    ensureRegistered();
    return entries().value(storyboard);
}

void registerFirstScreen(Factory factory)
{
    firstScreen() = std::move(factory);
}

ViewController *createEntry(AppStoryboard storyboard)
{
    const QString identifier = entry(storyboard);
    ViewController *screen = create(storyboard, identifier);
    if (!screen)
        failMissingScene(storyboard, identifier);
    return screen;
}

ViewController *createFirstScreen()
{
    ensureRegistered();
    ViewController *screen = firstScreen() ? firstScreen()(currentContext()) : nullptr;
    if (!screen)
        failMissingScene(AppStoryboard::Auth, QString());
    return screen;
}

ViewController *create(AppStoryboard storyboard, const QString &identifier)
{
    ensureRegistered();
    const auto it = scenes().constFind(key(storyboard, identifier));
    return it == scenes().constEnd() ? nullptr : (*it)(currentContext());
}

QString missingSceneMessage(AppStoryboard storyboard, const QString &identifier)
{
    return QStringLiteral("ViewController with identifier ") + identifier + QStringLiteral(", not found in ")
           + storyboardName(storyboard)
           + QStringLiteral(" Storyboard.\nFile : AppStoryboard \nLine Number : 57 \nFunction : "
                            "instantiate(fromAppStoryboard:)");
}

void failMissingScene(AppStoryboard storyboard, const QString &identifier)
{
    qFatal("%s", qPrintable(missingSceneMessage(storyboard, identifier)));
}

} // namespace StoryboardRegistry

} // namespace Orvex
