#pragma once

#include <QLabel>
#include <QStringList>

// The texts of Window's visible labels that are cut off at its present size:
// lower (or narrower) than their text needs, or reaching past its edge.
inline QStringList CutTexts(const QWidget& Window)
{
    QStringList Cut;
    for (QLabel* Label : Window.findChildren<QLabel*>()) {
        const QSize Wanted = Label->wordWrap() ? QSize(0, Label->heightForWidth(Label->width())) : Label->sizeHint();
        const QRect Place(Label->mapTo(&Window, QPoint(0, 0)), Label->size());
        if (Label->isVisibleTo(&Window) && !Label->text().isEmpty()
            && (Label->width() < Wanted.width() || Label->height() < Wanted.height() || !Window.rect().contains(Place)))
            Cut << Label->text();
    }
    return Cut;
}
