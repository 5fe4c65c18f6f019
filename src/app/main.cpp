#include <cstdio>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/HeadlessRunner.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string error;
    const auto commandLine = ravelin::ParseCommandLine(arguments, error);
    if (!commandLine) {
        std::fprintf(stderr, "ravelin: %s\n%s", error.c_str(), ravelin::UsageText());
        return 2;
    }
    if (commandLine->help) {
        std::fputs(ravelin::UsageText(), stdout);
        return 0;
    }
    if (commandLine->outputs.empty()) {
        // The window comes with the desktop build; until then the headless mode is the program.
        std::fprintf(stderr, "ravelin: nothing to do without --print\n%s", ravelin::UsageText());
        return 2;
    }
    static char outputBuffer[1 << 16];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    ravelin::HeadlessRunner runner(*commandLine, stdout, stderr);
    return runner.Run();
}
