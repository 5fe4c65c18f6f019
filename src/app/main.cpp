#include <pthread.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/EngineOptions.h"
#include "app/HeadlessRunner.h"
#include "app/StopSignals.h"
#include "app/WindowModule.h"
#include "engine/LinuxServices.h"

namespace {

int RunHeadless(const ravelin::CommandLine& commandLine) {
    // SIGINT and SIGTERM end the run through the runner from the start: one that came while
    // the spool is being made would otherwise kill the program and leave the spool behind.
    const sigset_t stopSignals = ravelin::StopSignals();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    static char outputBuffer[1 << 16];
    (void)std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    ravelin::SystemServices services = ravelin::LinuxServices(commandLine.readFile);
    std::string error;
    if (!ravelin::OpenSpool(services, error)) {
        (void)std::fprintf(stderr, "ravelin: %s\n", error.c_str());
        return 1;
    }
    ravelin::HeadlessRunner runner(commandLine, std::move(services),
                                   ravelin::HeadlessOptions(commandLine), stdout, stderr);
    return runner.Run();
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
    return ravelin::RunWindowModule(argc, argv);
}
