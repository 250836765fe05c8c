#include "app/ElidedLabel.h"

#include <QPainter>

void TElidedLabel::SetPanelText(const QString& Text)
{
    setText(Text);
    setToolTip(Text);
}

void TElidedLabel::paintEvent(QPaintEvent* Event)
{
    QFrame::paintEvent(Event);
    QPainter Painter(this);
    const QRect Room = contentsRect().adjusted(qMax(indent(), 0), 0, 0, 0);
    Painter.setPen(palette().color(foregroundRole()));
    Painter.drawText(
        Room, Qt::AlignLeft | Qt::AlignVCenter, fontMetrics().elidedText(text(), Qt::ElideRight, Room.width()));
}
