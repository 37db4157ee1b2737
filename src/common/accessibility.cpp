#include "accessibility.h"

#include "logpane.h"
#include "logpaneaccessible.h"

#include <QAccessibleWidget>

namespace {

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    if (className == QLatin1StringView(LogPane::staticMetaObject.className()))
        return new LogPaneAccessible(static_cast<LogPane *>(object));
    // Asked once per class of the object, most derived first: answer at the first asking, for
    // a plain top-level window (no menu, dialog or tool window) whose own class sits directly
    // on QWidget.
    auto *widget = qobject_cast<QWidget *>(object);
    if (widget && widget->windowType() == Qt::Window &&
        className == QLatin1StringView(object->metaObject()->className()) &&
        object->metaObject()->superClass() == &QWidget::staticMetaObject) {
        return new QAccessibleWidget(widget, QAccessible::Window);
    }
    return nullptr;
}

} // namespace

namespace Accessibility {

void installFactory()
{
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace Accessibility
