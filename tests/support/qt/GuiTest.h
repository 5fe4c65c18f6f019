#pragma once

#include <QTest>

/// Makes a QtTest class runnable by gui_tests: defines ravelin::test::Run<Class>, which the
/// test program's main calls by the class's name. The class name must be the file's name.
#define RAVELIN_GUI_TEST(Class)                 \
    namespace ravelin::test {                   \
    int Run##Class(int argc, char** argv) {     \
        Class test;                             \
        return QTest::qExec(&test, argc, argv); \
    }                                           \
    }
