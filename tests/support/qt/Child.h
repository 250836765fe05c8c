#pragma once

// Controls and menu entries found by their object names, the way the tests
// and benchmarks reach into a window: no window exposes its controls.

#include <QList>
#include <QObject>
#include <QString>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace ChildLookup {

// Reports a lookup that went wrong and ends the program: a test on a missing
// control cannot go on, and a null pointer later would hide the name.
[[noreturn]] inline void Fail(const std::string& Problem)
{
    if (::testing::UnitTest::GetInstance()->current_test_info())
        ADD_FAILURE() << Problem;
    else
        std::fprintf(stderr, "%s\n", Problem.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    std::abort();
}

} // namespace ChildLookup

// The one object of type T named Name below Parent, at any depth (widgets,
// menus, actions). None or more than one fails the running test, naming the
// type, the name and the parent.
template <class T> T* Child(const QObject& Parent, const char* Name)
{
    const QList<T*> Found = Parent.findChildren<T*>(QLatin1String(Name));
    if (Found.size() != 1) {
        ChildLookup::Fail(std::string(Found.isEmpty() ? "no " : "more than one ") + T::staticMetaObject.className()
            + " named \"" + Name + "\" below \"" + Parent.objectName().toStdString() + "\"");
    }
    return Found.constFirst();
}
