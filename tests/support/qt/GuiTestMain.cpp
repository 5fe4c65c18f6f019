// The main of gui_tests: "gui_tests" runs every test class, "gui_tests Class [QtTest options]"
// runs one, so that ctest lists the classes one by one.

#include <QApplication>

#include <cstdio>
#include <cstring>
#include <vector>

namespace ravelin::test {
#define RAVELIN_GUI_TEST_ENTRY(Class) int Run##Class(int argc, char** argv);
#include "GuiTestList.inc"
#undef RAVELIN_GUI_TEST_ENTRY
}  // namespace ravelin::test

namespace {

struct TestClass {
    const char* name;
    int (*run)(int argc, char** argv);
};

constexpr TestClass kTestClasses[] = {
#define RAVELIN_GUI_TEST_ENTRY(Class) {#Class, &ravelin::test::Run##Class},
#include "GuiTestList.inc"
#undef RAVELIN_GUI_TEST_ENTRY
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);

    if (argc > 1 && argv[1][0] != '-') {
        for (const TestClass& test : kTestClasses) {
            if (std::strcmp(test.name, argv[1]) != 0) continue;
            std::vector<char*> arguments{argv[0]};
            arguments.insert(arguments.end(), argv + 2, argv + argc);
            return test.run(static_cast<int>(arguments.size()), arguments.data());
        }
        std::fprintf(stderr, "no test class %s; there are:\n", argv[1]);
        for (const TestClass& test : kTestClasses) std::fprintf(stderr, "  %s\n", test.name);
        return 2;
    }

    int failures = 0;
    for (const TestClass& test : kTestClasses) failures += test.run(argc, argv);
    return failures;
}
