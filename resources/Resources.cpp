#include "resources/Resources.h"

#include <QtCore/QtGlobal>

void InitBrieflotseResources()
{
    Q_INIT_RESOURCE(resources);
}

QIcon BrieflotseMainIcon()
{
    QIcon Icon;
    Icon.addFile(QString::fromLatin1(BrieflotsePictures::MainIcon), QSize(32, 32));
    Icon.addFile(QString::fromLatin1(BrieflotsePictures::MainIcon64), QSize(64, 64));
    return Icon;
}
