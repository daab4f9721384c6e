#include "CustomSegue.h"

#include "ui/AppContext.h"
#include "ui/SegueAnimator.h"
#include "ui/ViewController.h"
#include "ui/WindowController.h"

namespace Orvex {

CustomSegue::CustomSegue(const QString &identifier, ViewController *source, ViewController *destination)
    : m_identifier(identifier)
    , m_source(source)
    , m_destination(destination)
{}

CustomSegue::CustomSegue(NavigationDirection direction, ViewController *source, ViewController *destination)
    : CustomSegue(rawValue(direction), source, destination)
{}

void CustomSegue::perform(QWidget *visualHost)
{
    const auto direction = navigationDirection(m_identifier);
    if (!direction || !m_source || !m_destination)
        return;
    // The animation keeps the pace of the window it plays in.
    const WindowController *window = WindowController::of(m_source);
    const Pace pace = window ? window->context().pace : Pace{};
    m_source->present(m_destination, std::make_unique<SegueAnimator>(*direction, pace), visualHost);
}

} // namespace Orvex
