#include "resources/Resources.h"

#include <QtCore/QtGlobal>

void InitBrieflotseResources()
{
    Q_INIT_RESOURCE(resources);
}
