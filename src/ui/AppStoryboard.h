#pragma once

#include "ui/AppContext.h"
#include "ui/ViewController.h"

#include <QString>

#include <functional>

namespace Orvex {

// The three groups of screens; a screen is created by its class name from its
// group, so a screen can be asked for without including it.
enum class AppStoryboard { Main, Auth, Settings };

QString storyboardName(AppStoryboard storyboard);

namespace StoryboardRegistry {

// Makes a screen with what it needs from the context it is handed.
using Factory = std::function<ViewController *(const AppContext &context)>;

// The context every screen is created with; the composition root installs it
// before the first screen and puts back the one it replaced (returned) when it
// goes. Creating a screen without one stops the program.
const AppContext *setContext(const AppContext *context);

void registerScene(AppStoryboard storyboard, const QString &identifier, Factory factory);
// Marks a registered scene as the one its group opens with (the main screen
// for Main).
void registerEntry(AppStoryboard storyboard, const QString &identifier);
QString entry(AppStoryboard storyboard);
// What the main window shows first; chosen when it is created, since it can
// depend on the stored session.
void registerFirstScreen(Factory factory);
// A new screen, or null when the group has no scene of that name.
ViewController *create(AppStoryboard storyboard, const QString &identifier);
// A new screen of `entry(storyboard)`; a missing one stops the program.
ViewController *createEntry(AppStoryboard storyboard);
// A new first screen for the main window; a missing one stops the program.
ViewController *createFirstScreen();

// The message the program stops with when a scene is missing.
QString missingSceneMessage(AppStoryboard storyboard, const QString &identifier);

[[noreturn]] void failMissingScene(AppStoryboard storyboard, const QString &identifier);

} // namespace StoryboardRegistry

// Registers every screen of the client with its group. The framework knows no
// concrete screen: the application defines this, and it runs once, before the
// first screen is created.
void registerAllScenes();

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
