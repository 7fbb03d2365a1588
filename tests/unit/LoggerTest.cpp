#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <thread>

#include "RecordingLogger.h"
#include "utils/logging/CSCLogger.h"
#include "utils/logging/CSCUnbufferedLogger.h"
#include "utils/logging/DelayedLogger.h"

namespace {

using namespace utils::logging;

TEST(LoggerFormat, EntryTextIsComposedByteForByteAboveTheMinimumLevel) {
    testing_support::RecordingLogger logger(Debug, true);
    int evaluated = 0;
    auto expensive = [&] { return std::to_string(++evaluated); };
    AP_LOG(Verbose, "dropped", expensive());  // arguments of a disabled statement are not built
    logger.log(Verbose, "dropped too");
    AP_LOG(Error, "kept", expensive());
    logger.log(Critical, "Proxy initialization failed, exiting");
    logger.log(Warning, "");
    logger.log(static_cast<LogLevel>(6), "odd");
    logger.log(Info, "limits", std::string("s"), 0, -1, INT_MIN, UINT32_MAX, LONG_MIN, ULONG_MAX,
               static_cast<unsigned short>(65535), static_cast<int8_t>(-5));
    logger.log(Debug, "pointers", static_cast<const void*>(nullptr),
               reinterpret_cast<int*>(0xbeef));
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(
        logger.texts(),
        (std::vector<std::string>{
            "[FP] : ERROR   : kept : 1", "[FP] : FATAL   : Proxy initialization failed, exiting",
            "[FP] : WARNING : ", "[FP] : UNKNOWN:  : odd",
            "[FP] : INFO    : limits : s : 0 : -1 : -2147483648 : 4294967295 : "
            "-9223372036854775808 : 18446744073709551615 : 65535 : -5",
            "[FP] : DEBUG   : pointers : 0 : 0xbeef"}));
}

// The delayed logger must write nothing before its flush and then every entry, none torn by the
// threads that logged at once. (The buffered logger's file is what the end-to-end tests read.)
TEST(FileLoggers, DelayedWritesEverythingOnFlush) {
    const auto previous = std::filesystem::current_path();  // the file goes to the working one
    std::string directory = "/tmp/ap-logger-XXXXXX";
    std::filesystem::current_path(mkdtemp(directory.data()));
    DelayedLogger delayed(Verbose, true);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 1000; ++i) {
                    delayed.log(Info, "entry", t, i);
                }
            });
        }
    }
    EXPECT_EQ(std::filesystem::file_size(delayed.fileName()), 0u);
    delayed.flush();
    std::ifstream lines(delayed.fileName());
    int count = 0, torn = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        torn += line.rfind("[FP] : INFO    : entry : ", 0) != 0;
    }
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(count, 4000);
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(directory);
}

// The runner is joined before the journal is read, so it needs no lock.
struct Journal {
    std::pair<std::string, int> init;
    std::vector<std::tuple<std::string, std::string, std::thread::id>> calls;
};

class RecordingService : public csc_logging::CSCLoggingApi {
public:
    explicit RecordingService(Journal& journal) : journal_(journal) {}
    void initialize(const std::string& applicationId, int level) override {
        CSCLoggingApi::initialize(applicationId, level);
        journal_.init = {applicationId, level};
    }
    void logCritical(const std::string& text) override { record("critical", text); }
    void logError(const std::string& text) override { record("error", text); }
    void logWarning(const std::string& text) override { record("warning", text); }

private:
    void record(const char* operation, const std::string& text) {
        journal_.calls.emplace_back(operation, text, std::this_thread::get_id());
    }
    Journal& journal_;
};

TEST(CscLoggers, ServiceIsCalledOnTheRunnerThreadOrOnTheCallingThread) {
    Journal queued;
    std::thread::id runner;
    {
        CSCLogger logger(Error, true, std::make_unique<RecordingService>(queued));
        runner = logger.runnerThreadId();
        EXPECT_EQ(queued.init, std::make_pair(std::string("RZ"), 2));
        logger.log(Error, "bad", "fd", 3);
        logger.log(Critical, "worse");
    }  // destruction drains the queue before the service goes
    EXPECT_NE(runner, std::this_thread::get_id());
    EXPECT_EQ(queued.calls,
              (decltype(queued.calls){{"error", "[FP] : ERROR   : bad : fd : 3", runner},
                                      {"critical", "[FP] : FATAL   : worse", runner}}));

    Journal direct;
    CSCUnbufferedLogger logger(Verbose, false, std::make_unique<RecordingService>(direct));
    EXPECT_EQ(direct.init.second, 6);
    logger.log(Warning, "careful");
    EXPECT_EQ(direct.calls, (decltype(direct.calls){{"warning", "[RP] : WARNING : careful",
                                                     std::this_thread::get_id()}}));
}

}  // namespace
