#include "resources/Resources.h"

#include <QtCore/QtGlobal>

void InitBrieflotseResources()
{
    Q_INIT_RESOURCE(resources);
}

QIcon BrieflotseMainIcon()
{
    QIcon icon;
    icon.addFile(QString::fromLatin1(BrieflotsePictures::MainIcon), QSize(32, 32));
    icon.addFile(QString::fromLatin1(BrieflotsePictures::MainIcon64), QSize(64, 64));
    return icon;
}
