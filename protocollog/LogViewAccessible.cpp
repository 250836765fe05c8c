#include "protocollog/LogViewAccessible.h"

#include <QScrollBar>
#include <algorithm>
#include <climits>

#include "protocollog/LogView.h"

namespace {

// A screen reader reads at most this much of the log at once.
constexpr qint64 kMaxSpoken = 1 << 20;

int Clamp(qint64 Value)
{
    return static_cast<int>(std::clamp<qint64>(Value, 0, INT_MAX));
}

QAccessibleInterface* Factory(const QString& ClassName, QObject* Object)
{
    if (ClassName == QLatin1String("TLogView") && Object && Object->isWidgetType())
        return new TLogViewAccessible(static_cast<TLogView*>(Object));
    return nullptr;
}

} // namespace

void InstallLogViewAccessibility()
{
    static bool Installed = false;
    if (!Installed) {
        QAccessible::installFactory(Factory);
        Installed = true;
    }
}

TLogViewAccessible::TLogViewAccessible(TLogView* View)
    : QAccessibleWidget(View, QAccessible::EditableText)
{
}

TLogView* TLogViewAccessible::View() const
{
    return static_cast<TLogView*>(widget());
}

void* TLogViewAccessible::interface_cast(QAccessible::InterfaceType Type)
{
    if (Type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(Type);
}

QAccessible::State TLogViewAccessible::state() const
{
    QAccessible::State State = QAccessibleWidget::state();
    State.readOnly = true;
    State.multiLine = true;
    State.selectableText = true;
    return State;
}

QString TLogViewAccessible::text(QAccessible::Text Kind) const
{
    if (Kind == QAccessible::Value)
        return text(0, std::min(characterCount(), Clamp(kMaxSpoken)));
    return QAccessibleWidget::text(Kind);
}

void TLogViewAccessible::selection(int SelectionIndex, int* StartOffset, int* EndOffset) const
{
    *StartOffset = *EndOffset = 0;
    if (SelectionIndex != 0 || !View()->HasSelection())
        return;
    const qint64 Caret = View()->OffsetOf(View()->CaretPosition());
    const qint64 Anchor = View()->OffsetOf(View()->AnchorPosition());
    *StartOffset = Clamp(std::min(Caret, Anchor));
    *EndOffset = Clamp(std::max(Caret, Anchor));
}

int TLogViewAccessible::selectionCount() const
{
    return View()->HasSelection() ? 1 : 0;
}

void TLogViewAccessible::addSelection(int StartOffset, int EndOffset)
{
    setSelection(0, StartOffset, EndOffset);
}

void TLogViewAccessible::removeSelection(int SelectionIndex)
{
    if (SelectionIndex == 0)
        View()->Select(View()->CaretPosition(), View()->CaretPosition());
}

void TLogViewAccessible::setSelection(int SelectionIndex, int StartOffset, int EndOffset)
{
    if (SelectionIndex == 0)
        View()->Select(View()->PositionAt(StartOffset), View()->PositionAt(EndOffset));
}

int TLogViewAccessible::cursorPosition() const
{
    return Clamp(View()->OffsetOf(View()->CaretPosition()));
}

void TLogViewAccessible::setCursorPosition(int Position)
{
    const TLogPosition At = View()->PositionAt(Position);
    View()->Select(At, At);
}

QString TLogViewAccessible::text(int StartOffset, int EndOffset) const
{
    if (EndOffset <= StartOffset)
        return QString();
    EndOffset = static_cast<int>(std::min<qint64>(EndOffset, qint64(StartOffset) + kMaxSpoken));
    const TLogPosition From = View()->PositionAt(StartOffset);
    const TLogPosition To = View()->PositionAt(EndOffset);
    QString Text;
    for (qint64 Line = From.Line; Line <= To.Line; ++Line) {
        const QString Whole = View()->LineText(Line);
        const qsizetype Start = Line == From.Line ? From.Column : 0;
        const qsizetype End = Line == To.Line ? To.Column : Whole.size();
        if (Line > From.Line)
            Text += QLatin1Char('\n');
        Text += Whole.mid(Start, End - Start);
    }
    return Text;
}

int TLogViewAccessible::characterCount() const
{
    return Clamp(View()->OffsetOf(View()->EndPosition()));
}

QRect TLogViewAccessible::characterRect(int Offset) const
{
    const QRect Place = View()->CharacterRect(View()->PositionAt(Offset), 1);
    return QRect(View()->viewport()->mapToGlobal(Place.topLeft()), Place.size());
}

int TLogViewAccessible::offsetAtPoint(const QPoint& Point) const
{
    return Clamp(View()->OffsetOf(View()->HitTest(View()->viewport()->mapFromGlobal(Point))));
}

void TLogViewAccessible::scrollToSubstring(int StartIndex, int EndIndex)
{
    (void)EndIndex;
    const TLogPosition At = View()->PositionAt(StartIndex);
    View()->verticalScrollBar()->setValue(static_cast<int>(std::min<qint64>(View()->RowOf(At), INT_MAX)));
}

QString TLogViewAccessible::attributes(int Offset, int* StartOffset, int* EndOffset) const
{
    *StartOffset = *EndOffset = Offset;
    return QString();
}
