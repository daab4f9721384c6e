#pragma once

#include "ui/AppContext.h"
#include "ui/ViewController.h"

#include <QHash>
#include <QString>

#include <functional>

namespace Orvex {

// The three groups of screens; a screen is created by its class name from its
// group, so a screen can be asked for without including it.
enum class AppStoryboard { Main, Auth, Settings };

QString storyboardName(AppStoryboard storyboard);

// Makes a screen with what it needs from the context it is handed.
using SceneFactory = std::function<ViewController *(const AppContext &context)>;

// Every screen the application has, by group and class name, with the screen
// each group opens with and the main window's first screen. The framework
// knows no concrete screen: the composition root fills a table and hands it
// over in the context.
class SceneTable
{
public:
    void add(AppStoryboard storyboard, const QString &identifier, SceneFactory factory);
    // Marks an added scene as the one its group opens with (the main screen
    // for Main).
    void setEntry(AppStoryboard storyboard, const QString &identifier);
    // What the main window shows first; chosen when it is created, since it
    // can depend on the stored session.
    void setFirstScreen(SceneFactory factory);

    QString entry(AppStoryboard storyboard) const;
    SceneFactory find(AppStoryboard storyboard, const QString &identifier) const;
    const SceneFactory &firstScreen() const { return m_firstScreen; }

private:
    QHash<QString, SceneFactory> m_scenes;
    QHash<AppStoryboard, QString> m_entries;
    SceneFactory m_firstScreen;
};

namespace StoryboardRegistry {

// Screens are made from the context their maker hands in: the composition
// root's for the window's first screen, and a screen's own (or its window's)
// for the screens it opens, so every screen of a window shares one context.

// A new screen, or null when the group has no scene of that name.
ViewController *create(const AppContext &context, AppStoryboard storyboard, const QString &identifier);
// A new screen of `context.scenes.entry(storyboard)`; a missing one stops the
// program.
ViewController *createEntry(const AppContext &context, AppStoryboard storyboard);
// A new first screen for the main window; a missing one stops the program.
ViewController *createFirstScreen(const AppContext &context);

// The message the program stops with when a scene is missing.
QString missingSceneMessage(AppStoryboard storyboard, const QString &identifier);

[[noreturn]] void failMissingScene(AppStoryboard storyboard, const QString &identifier);

} // namespace StoryboardRegistry

// The name a screen class is known by in its group: its class name without
// the namespace.
template<typename T>
QString sceneIdentifier()
{
    const QString name = QString::fromLatin1(T::staticMetaObject.className());
    const qsizetype colons = name.lastIndexOf(QLatin1String("::"));
    return colons < 0 ? name : name.mid(colons + 2);
}

// Creates a new T from its group. A missing scene is a build error, so it stops
// the program.
template<typename T>
T *instantiate(const AppContext &context, AppStoryboard storyboard)
{
    const QString identifier = sceneIdentifier<T>();
    auto *created = StoryboardRegistry::create(context, storyboard, identifier);
    auto *screen = qobject_cast<T *>(created);
    if (!screen) {
        delete created;
        StoryboardRegistry::failMissingScene(storyboard, identifier);
    }
    return screen;
}

} // namespace Orvex
