#include <QApplication>

#include <cstdio>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/HeadlessRunner.h"
#include "config/ConfigPath.h"
#include "engine/LinuxServices.h"
#include "ui/MainDialog.h"

namespace {

int RunHeadless(const ravelin::CommandLine& commandLine) {
    static char outputBuffer[1 << 16];
    (void)std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    ravelin::HeadlessRunner runner(commandLine, ravelin::LinuxServices(commandLine.readFile),
                                   stdout, stderr);
    return runner.Run();
}

int RunWindow(const ravelin::CommandLine& commandLine, int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ravelin"));
    ravelin::MainDialog window(ravelin::LinuxServices(commandLine.readFile),
                               commandLine.configFile.value_or(ravelin::DefaultConfigPath()));
    // As in the headless mode: --bind, else 0.0.0.0 for a file, else the host's address.
    if (commandLine.bindAddress) {
        window.SetStartAddress(*commandLine.bindAddress);
    } else if (commandLine.readFile) {
        window.SetStartAddress(0);
    }
    window.SetAttribution(commandLine.attribution);
    // A start-up step that failed has shown why; the program ends without its window.
    if (!window.Initialise()) return 1;
    window.show();
    return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    const auto commandLine = ravelin::ParseCommandLine(arguments, error);
    if (!commandLine) {
        (void)std::fprintf(stderr, "ravelin: %s\n%s", error.c_str(), ravelin::UsageText());
        return 2;
    }
    if (commandLine->help) {
        (void)std::fputs(ravelin::UsageText(), stdout);
        return 0;
    }
    if (!commandLine->outputs.empty()) return RunHeadless(*commandLine);
    Q_INIT_RESOURCE(ravelin);  // the icons live in a static library
    int qtArgc = 1;
    return RunWindow(*commandLine, qtArgc, argv);
}
