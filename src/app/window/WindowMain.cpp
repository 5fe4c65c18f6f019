// The window's program, built as a module that `ravelin` loads only when it shows its window:
// the headless mode, a replay to standard output above all, then starts without loading and
// relocating Qt and the forty libraries it brings.
#include <QApplication>
#include <QMessageBox>

#include <string>
#include <type_traits>
#include <vector>

#include "app/CommandLine.h"
#include "app/EngineOptions.h"
#include "app/WindowModule.h"
#include "engine/LinuxServices.h"
#include "ui/MainDialog.h"

// The icons live in a static library. Qt's macro declares their initialiser where it is used:
// that must be a C++ function outside any namespace, not the extern "C" entry below.
static void InitResources() {
    Q_INIT_RESOURCE(ravelin);
}

namespace {

int RunWindow(const ravelin::CommandLine& commandLine, int argc, char** argv) {
    InitResources();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ravelin"));
    ravelin::SystemServices services = ravelin::LinuxServices(commandLine.readFile);
    std::string error;
    if (!ravelin::OpenSpool(services, error)) {
        QMessageBox::critical(nullptr, QStringLiteral("Error"), QString::fromStdString(error));
        return 1;
    }
    ravelin::MainDialog window(std::move(services), ravelin::WindowOptions(commandLine));
    // A start-up step that failed has shown why; the program ends without its window.
    if (!window.Initialise()) return 1;
    window.show();
    return QApplication::exec();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int RavelinWindowMain(int argc, char** argv) {
    // The program checked the command line before it loaded this module.
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    const auto commandLine = ravelin::ParseCommandLine(arguments, error);
    if (!commandLine) return 2;
    int qtArgc = 1;
    return RunWindow(*commandLine, qtArgc, argv);
}

static_assert(std::is_same_v<decltype(RavelinWindowMain), ravelin::WindowEntry>);
