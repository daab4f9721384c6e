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

void SceneTable::add(AppStoryboard storyboard, const QString &identifier, SceneFactory factory)
{
    m_scenes.insert(storyboardName(storyboard) + u'/' + identifier, factory);
}

void SceneTable::setEntry(AppStoryboard storyboard, const QString &identifier)
{
    m_entries.insert(storyboard, identifier);
}

void SceneTable::setFirstScreen(SceneFactory factory)
{
    m_firstScreen = std::move(factory);
}

QString SceneTable::entry(AppStoryboard storyboard) const
{
    return m_entries.value(storyboard);
}

SceneFactory SceneTable::find(AppStoryboard storyboard, const QString &identifier) const
{
    return m_scenes.value(storyboardName(storyboard) + u'/' + identifier);
}

namespace StoryboardRegistry {

ViewController *createEntry(const AppContext &context, AppStoryboard storyboard)
{
    const QString identifier = context.scenes.entry(storyboard);
    ViewController *screen = create(context, storyboard, identifier);
    if (!screen)
        failMissingScene(storyboard, identifier);
    return screen;
}

ViewController *createFirstScreen(const AppContext &context)
{
    const SceneFactory &first = context.scenes.firstScreen();
    ViewController *screen = first ? first(context) : nullptr;
    if (!screen)
        failMissingScene(AppStoryboard::Auth, QString());
    return screen;
}

ViewController *create(const AppContext &context, AppStoryboard storyboard, const QString &identifier)
{
    const SceneFactory factory = context.scenes.find(storyboard, identifier);
    return factory ? factory(context) : nullptr;
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
