#include "dialogs/DialogPlacement.h"

#include <QLayout>
#include <QWidget>

namespace DialogPlacement {

QPoint CentredTopLeft(const QRect& MainOuter, const QSize& DialogOuter)
{
    // Integer division truncates toward zero, also for negative sizes.
    return QPoint(MainOuter.left() + MainOuter.width() / 2 - DialogOuter.width() / 2,
        MainOuter.top() + MainOuter.height() / 2 - DialogOuter.height() / 2);
}

void CentreOver(QWidget* Dialog, const QWidget* MainWindow)
{
    if (Dialog->layout())
        Dialog->layout()->activate();
    if (!MainWindow)
        return;
    // Before the first showing the window manager has not framed the dialog yet;
    // its client size is then the best estimate of its outer size.
    const QSize Outer = Dialog->frameGeometry().size().expandedTo(Dialog->size());
    Dialog->move(CentredTopLeft(MainWindow->frameGeometry(), Outer));
}

} // namespace DialogPlacement
