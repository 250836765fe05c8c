// Status line decisions.
#include "conversation/StatusLine.h"

TStatusLine DecideStatusLine(const std::string& Text, bool Connected, const std::string& TargetHost, bool ErrorFlag,
    const std::string& ErrorMessage, bool Encrypted)
{
    TStatusLine Line;
    if (Text == ".") {
        Line.SetsTitle = true;
        if (Connected) {
            Line.Picture = TStatusPicture::OnlineOff;
            Line.Text = Encrypted ? "Bereit (TLS-verschlüsselt)" : "Bereit";
            Line.Title = "Brieflotse - [" + TargetHost + "]" + (Encrypted ? " (TLS)" : "");
        } else {
            Line.Picture = TStatusPicture::Offline;
            Line.Text = "Offline";
            Line.Title = "Brieflotse";
        }
    } else {
        Line.Picture = TStatusPicture::OnlineOn;
        Line.Text = Text;
    }
    if (ErrorFlag)
        Line.Text = ErrorMessage;
    return Line;
}
