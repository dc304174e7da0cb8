#include "windows/windowaccessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QWidget>

namespace {

// Asked for each class of an object from the most derived one up; Qt's own widgets have
// their interfaces before their chain reaches QWidget, so only windows that derive straight
// from QWidget get here.
QAccessibleInterface* windowInterface(const QString& className, QObject* object)
{
    if (className != QLatin1StringView("QWidget") || !object || !object->isWidgetType())
        return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    if (!widget->isWindow())
        return nullptr;
    switch (widget->windowType()) {
    case Qt::Dialog:
        return new QAccessibleWidget(widget, QAccessible::Dialog);
    case Qt::Window:
        return new QAccessibleWidget(widget, QAccessible::Window);
    default:
        return nullptr;
    }
}

} // namespace

void installWindowAccessibility()
{
    QAccessible::installFactory(windowInterface);
}
