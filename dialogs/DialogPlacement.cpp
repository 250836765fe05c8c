#include "dialogs/DialogPlacement.h"

#include <QLayout>
#include <QWidget>

namespace DialogPlacement {

QPoint CentredTopLeft(const QRect& mainOuter, const QSize& dialogOuter)
{
    // Integer division truncates toward zero, also for negative sizes.
    return QPoint(mainOuter.left() + mainOuter.width() / 2 - dialogOuter.width() / 2,
                  mainOuter.top() + mainOuter.height() / 2 - dialogOuter.height() / 2);
}

void CentreOver(QWidget* dialog, const QWidget* mainWindow)
{
    if (dialog->layout())
        dialog->layout()->activate();
    if (!mainWindow)
        return;
    // Before the first showing the window manager has not framed the dialog yet;
    // its client size is then the best estimate of its outer size.
    const QSize outer = dialog->frameGeometry().size().expandedTo(dialog->size());
    dialog->move(CentredTopLeft(mainWindow->frameGeometry(), outer));
}

} // namespace DialogPlacement
