#include "protocollog/LogFonts.h"

#include <QFontDatabase>
#include <QFontInfo>

QFont ProportionalLogFont()
{
    return QFontDatabase::systemFont(QFontDatabase::GeneralFont);
}

QFont FixedPitchLogFont()
{
    QFont Font(QStringLiteral("Liberation Mono"));
    Font.setPointSizeF(ProportionalLogFont().pointSizeF());
    Font.setStyleHint(QFont::TypeWriter);
    if (!QFontInfo(Font).fixedPitch())
        Font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    return Font;
}
