#include <QApplication>
#include <QMessageBox>

#include <pthread.h>
#include <signal.h>

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
    // SIGINT and SIGTERM end the run through the runner from the start: one that came while
    // the spool is being made would otherwise kill the program and leave the spool behind.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    static char outputBuffer[1 << 16];
    (void)std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    ravelin::SystemServices services = ravelin::LinuxServices(commandLine.readFile);
    std::string error;
    if (!ravelin::OpenSpool(services, error)) {
        (void)std::fprintf(stderr, "ravelin: %s\n", error.c_str());
        return 1;
    }
    ravelin::HeadlessRunner runner(commandLine, std::move(services), stdout, stderr);
    return runner.Run();
}

int RunWindow(const ravelin::CommandLine& commandLine, int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ravelin"));
    ravelin::SystemServices services = ravelin::LinuxServices(commandLine.readFile);
    std::string error;
    if (!ravelin::OpenSpool(services, error)) {
        QMessageBox::critical(nullptr, QStringLiteral("Error"), QString::fromStdString(error));
        return 1;
    }
    ravelin::MainDialog window(std::move(services),
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
    // Replayed at every start, as an opened capture is: the tree shows its processes.
    if (commandLine.readFile) window.monitor().OpenCapture(*commandLine.readFile);
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
    if (commandLine->headless()) return RunHeadless(*commandLine);
    Q_INIT_RESOURCE(ravelin);  // the icons live in a static library
    int qtArgc = 1;
    return RunWindow(*commandLine, qtArgc, argv);
}
