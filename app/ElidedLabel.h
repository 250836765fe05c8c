#pragma once

// A status bar panel whose text ends in "…" when the panel is too narrow; the
// whole text stays its text() and shows as its tooltip.

#include <QLabel>

class TElidedLabel : public QLabel {
    Q_OBJECT

public:
    using QLabel::QLabel;

    void SetPanelText(const QString& Text);

protected:
    void paintEvent(QPaintEvent* Event) override;
};
