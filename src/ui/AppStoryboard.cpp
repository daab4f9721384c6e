#include "AppStoryboard.h"

#include <QHash>

#include <cstdio>
#include <cstdlib>

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

void registerScene(AppStoryboard storyboard, const QString &identifier, Factory factory)
{
    scenes().insert(key(storyboard, identifier), std::move(factory));
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
    ViewController *screen = firstScreen() ? firstScreen()() : nullptr;
    if (!screen)
        failMissingScene(AppStoryboard::Auth, QString());
    return screen;
}

ViewController *create(AppStoryboard storyboard, const QString &identifier)
{
    ensureRegistered();
    const auto it = scenes().constFind(key(storyboard, identifier));
    return it == scenes().constEnd() ? nullptr : (*it)();
}

QString missingSceneMessage(AppStoryboard storyboard, const QString &identifier)
{
    return QStringLiteral("ViewController with identifier ") + identifier
           + QStringLiteral(", not found in ") + storyboardName(storyboard)
           + QStringLiteral(" Storyboard.\nFile : AppStoryboard \nLine Number : 57 \nFunction : "
                            "instantiate(fromAppStoryboard:)");
}

void failMissingScene(AppStoryboard storyboard, const QString &identifier)
{
    std::fprintf(stderr, "%s\n", qPrintable(missingSceneMessage(storyboard, identifier)));
    std::abort();
}

} // namespace StoryboardRegistry

} // namespace Orvex
