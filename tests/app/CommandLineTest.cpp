#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include "support/DatagramBuilder.h"

namespace ravelin {
namespace {

std::optional<CommandLine> Parse(std::vector<std::string> arguments, std::string* error = nullptr) {
    std::string message;
    auto line = ParseCommandLine(arguments, message);
    if (error != nullptr) *error = message;
    return line;
}

TEST(CommandLineTest, AcceptsEveryOptionInBothForms) {
    const auto line =
        Parse({"--print", "packets", "--print=summary", "--read", "x.pcap", "--bind=127.0.0.1",
               "--count", "5", "--duration", "1.5", "--config", "r.ini"});
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->Prints(CommandLine::Output::kPackets));
    EXPECT_TRUE(line->Prints(CommandLine::Output::kSummary));
    EXPECT_FALSE(line->Prints(CommandLine::Output::kHttp));
    EXPECT_EQ(line->readFile, "x.pcap");
    EXPECT_EQ(line->bindAddress, test::Ipv4("127.0.0.1"));
    EXPECT_EQ(line->count, 5);
    EXPECT_DOUBLE_EQ(*line->durationSeconds, 1.5);
    EXPECT_EQ(line->configFile, "r.ini");

    const auto attributed =
        Parse({"--print=packets", "--attribute", "--pid", "12,345", "--attribution=tables"});
    ASSERT_TRUE(attributed);
    EXPECT_TRUE(attributed->attribute);
    EXPECT_EQ(attributed->pids, (std::vector<int>{12, 345}));
    EXPECT_EQ(attributed->attribution, AttributionChoice::kTables);
    EXPECT_EQ(Parse({"--attribution", "events"})->attribution, AttributionChoice::kEvents);

    const auto marks = Parse({"--print", "http", "--print=marks"});
    ASSERT_TRUE(marks);
    EXPECT_EQ(marks->outputs, (std::vector<CommandLine::Output>{CommandLine::Output::kHttp,
                                                                CommandLine::Output::kMarks}));

    const auto processes = Parse({"--print=processes", "--interval", "0.5"});
    ASSERT_TRUE(processes);
    EXPECT_TRUE(processes->Prints(CommandLine::Output::kProcesses));
    EXPECT_DOUBLE_EQ(*processes->intervalSeconds, 0.5);
    EXPECT_FALSE(Parse({"--print=processes"})->intervalSeconds);

    const auto bare = Parse({});
    ASSERT_TRUE(bare);
    EXPECT_TRUE(bare->outputs.empty());
}

TEST(CommandLineTest, RejectsMistakesWithAReason) {
    const std::vector<std::vector<std::string>> mistakes = {
        {"--print", "everything"},
        {"--print"},
        {"--count", "0"},
        {"--count", "3x"},
        {"--count", "-1"},
        {"--duration", "0"},
        {"--duration", "nan"},
        {"--bind", "300.1.1.1"},
        {"--bind", "::1::2"},
        {"--frobnicate"},
        {"packets"},
        {"--pid", "12,,3"},
        {"--pid", "0"},
        {"--pid", "x"},
        {"--pid", "1,"},
        {"--attribute=1"},
        {"--attribution", "kernel"},
        {"--print", "processes", "--interval", "0"},
        {"--print", "processes", "--interval", "-2"},
        {"--print", "processes", "--interval"},
    };
    for (const auto& arguments : mistakes) {
        std::string error;
        EXPECT_FALSE(Parse(arguments, &error)) << arguments[0];
        EXPECT_FALSE(error.empty()) << arguments[0];
    }
}

TEST(CommandLineTest, RefusesTheHeadlessModesOptionsWithoutPrint) {
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"--count", "3"},
                                                      {"--duration", "2"},
                                                      {"--attribute"},
                                                      {"--read", "x.pcap", "--pid", "7"}}) {
        std::string error;
        EXPECT_FALSE(Parse(arguments, &error)) << arguments[0];
        EXPECT_NE(error.find("only with --print"), std::string::npos) << error;
        std::vector<std::string> printing = arguments;
        printing.emplace_back("--print=packets");
        EXPECT_TRUE(Parse(printing)) << arguments[0];
    }
    // The interval paces the processes' lines, and nothing else.
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--interval", "1"}, {"--print=packets", "--interval=1"}}) {
        std::string error;
        EXPECT_FALSE(Parse(arguments, &error)) << arguments.back();
        EXPECT_NE(error.find("only with --print processes"), std::string::npos) << error;
    }
    // The window honours these.
    const auto window = Parse({"--read", "x.pcap", "--bind", "127.0.0.1", "--attribution=tables"});
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->outputs.empty());
}

}  // namespace
}  // namespace ravelin
