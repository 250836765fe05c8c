#pragma once

// Where a dialog opens: centred over the main window by the outer (framed)
// sizes of both windows, halves rounded toward zero.

#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

namespace DialogPlacement {
QPoint CentredTopLeft(const QRect& MainOuter, const QSize& DialogOuter);
// Lays the dialog out and moves it; without a main window it stays where it is.
void CentreOver(QWidget* Dialog, const QWidget* MainWindow);
}
