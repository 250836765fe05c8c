// Entry point of the widget tests: one QApplication for the whole run, a fixed
// German locale so texts and number formats compare stably.
#include <QApplication>
#include <QLocale>

#include <gtest/gtest.h>

#include "resources/Resources.h"

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QApplication app(argc, argv);
    InitBrieflotseResources();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
