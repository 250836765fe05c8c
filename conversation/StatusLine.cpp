// Status line decisions.
#include "conversation/StatusLine.h"

TStatusLine DecideStatusLine(const std::string& Text, bool Connected, const std::string& TargetHost, bool ErrorFlag,
    const std::string& ErrorMessage)
{
    TStatusLine Line;
    if (Text == ".") {
        Line.SetsTitle = true;
        if (Connected) {
            Line.Picture = TStatusPicture::OnlineOff;
            Line.Text = "Bereit";
            Line.Title = "Brieflotse - [" + TargetHost + "]";
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
