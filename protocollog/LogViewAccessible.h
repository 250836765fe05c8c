#pragma once

// What screen readers learn of the protocol log: a read-only text with the
// view's name and description, its text, caret and selection.

#include <QAccessibleWidget>

class TLogView;

class TLogViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit TLogViewAccessible(TLogView* View);

    void* interface_cast(QAccessible::InterfaceType Type) override;
    QAccessible::State state() const override;
    QString text(QAccessible::Text Kind) const override;

    // QAccessibleTextInterface
    void selection(int SelectionIndex, int* StartOffset, int* EndOffset) const override;
    int selectionCount() const override;
    void addSelection(int StartOffset, int EndOffset) override;
    void removeSelection(int SelectionIndex) override;
    void setSelection(int SelectionIndex, int StartOffset, int EndOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int Position) override;
    QString text(int StartOffset, int EndOffset) const override;
    int characterCount() const override;
    QRect characterRect(int Offset) const override;
    int offsetAtPoint(const QPoint& Point) const override;
    void scrollToSubstring(int StartIndex, int EndIndex) override;
    QString attributes(int Offset, int* StartOffset, int* EndOffset) const override;

private:
    TLogView* View() const;
};

// Registers the interface with Qt's accessibility; once per program.
void InstallLogViewAccessibility();
