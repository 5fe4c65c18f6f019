#pragma once

#include <QTest>

namespace ravelin::test {
/// How long, in milliseconds, a QTRY_ check waits for what must happen. Qt's own 5 s is short
/// for a sanitizer build on a machine busy with other work; only a failing run waits it out.
inline constexpr int kTryTimeout = 120'000;
}  // namespace ravelin::test

/// Makes a QtTest class runnable by gui_tests: defines ravelin::test::Run<Class>, which the
/// test program's main calls by the class's name. The class name must be the file's name.
#define RAVELIN_GUI_TEST(Class)                 \
    namespace ravelin::test {                   \
    int Run##Class(int argc, char** argv) {     \
        Class test;                             \
        return QTest::qExec(&test, argc, argv); \
    }                                           \
    }
