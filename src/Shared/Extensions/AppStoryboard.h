#pragma once

#include "app/ViewController.h"

#include <QString>

#include <functional>

namespace Orvex {

// The three groups of screens; a screen is created by its class name from its
// group, the way forms were looked up by scene identifier.
enum class AppStoryboard { Main, Auth, Settings };

QString storyboardName(AppStoryboard storyboard);

namespace StoryboardRegistry {

using Factory = std::function<ViewController *()>;

void registerScene(AppStoryboard storyboard, const QString &identifier, Factory factory);
// A new screen, or null when the group has no scene of that name.
ViewController *create(AppStoryboard storyboard, const QString &identifier);

// The message the program stops with when a scene is missing.
QString missingSceneMessage(AppStoryboard storyboard, const QString &identifier);

[[noreturn]] void failMissingScene(AppStoryboard storyboard, const QString &identifier);

} // namespace StoryboardRegistry

// Creates a new T from its group. A missing scene is a build error, so it stops
// the program.
template<typename T>
T *instantiate(AppStoryboard storyboard)
{
    QString identifier = QString::fromLatin1(T::staticMetaObject.className());
    const int colons = identifier.lastIndexOf(QLatin1String("::"));
    if (colons >= 0)
        identifier = identifier.mid(colons + 2);
    auto *created = StoryboardRegistry::create(storyboard, identifier);
    auto *screen = qobject_cast<T *>(created);
    if (!screen) {
        delete created;
        StoryboardRegistry::failMissingScene(storyboard, identifier);
    }
    return screen;
}

} // namespace Orvex
