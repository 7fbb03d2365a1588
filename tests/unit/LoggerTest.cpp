#include <unistd.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "RecordingLogger.h"
#include "utils/logging/BufferedLogger.h"
#include "utils/logging/CSCLogger.h"
#include "utils/logging/CSCUnbufferedLogger.h"
#include "utils/logging/DelayedLogger.h"

namespace {

using namespace utils::logging;
using testing_support::RecordingLogger;

std::string readFile(const std::string& name) {
    std::ifstream in(name);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// Runs each test in a fresh working directory, since the file back-ends write there.
class LogDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ap-logger-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path dir_;
    std::filesystem::path previous_;
};

TEST(LoggerFormat, EntryTextIsComposedByteForByte) {
    RecordingLogger forward(Verbose, true);
    forward.log(Critical, "Proxy initialization failed, exiting");
    forward.log(Warning, "");
    forward.log(static_cast<LogLevel>(6), "odd");
    forward.log(static_cast<LogLevel>(-1), "below Verbose is filtered");
    forward.log(Warning, "Error reading socket", "tag", "errno", 104, "description",
                std::string("Connection reset by peer"));
    forward.log(Info, "limits", 0, -1, INT_MIN, UINT32_MAX, LONG_MIN, ULONG_MAX);
    forward.log(Debug, "narrow", static_cast<unsigned short>(65535), static_cast<int8_t>(-5));
    int local = 0;
    const void* nullPointer = nullptr;
    forward.log(Debug, "pointers", nullPointer, static_cast<const void*>(&local));

    std::vector<std::string> texts = forward.texts();
    ASSERT_EQ(texts.size(), 7u);
    EXPECT_EQ(texts[0], "[FP] : FATAL   : Proxy initialization failed, exiting");
    EXPECT_EQ(texts[1], "[FP] : WARNING : ");
    EXPECT_EQ(texts[2], "[FP] : UNKNOWN:  : odd");
    EXPECT_EQ(texts[3],
              "[FP] : WARNING : Error reading socket : tag : errno : 104 : description : "
              "Connection reset by peer");
    EXPECT_EQ(texts[4],
              "[FP] : INFO    : limits : 0 : -1 : -2147483648 : 4294967295 : "
              "-9223372036854775808 : 18446744073709551615");
    EXPECT_EQ(texts[5], "[FP] : DEBUG   : narrow : 65535 : -5");
    std::ostringstream expected;
    expected << static_cast<const void*>(&local);
    EXPECT_EQ(texts[6], "[FP] : DEBUG   : pointers : 0 : " + expected.str());

    RecordingLogger permissive(static_cast<LogLevel>(-1), true);
    permissive.log(static_cast<LogLevel>(-1), "odd");
    EXPECT_EQ(permissive.texts(), std::vector<std::string>{"[FP] : UNKNOWN:  : odd"});

    RecordingLogger reverse(Verbose, false);
    reverse.log(Info, "Remove websocket connection", std::string("tag"));
    reverse.log(Verbose, "v");
    EXPECT_EQ(reverse.texts(),
              (std::vector<std::string>{"[RP] : INFO    : Remove websocket connection : tag",
                                        "[RP] : VERBOSE : v"}));
}

TEST(LoggerFormat, LevelFilterAppliesAtCallSiteAndInLog) {
    RecordingLogger logger(Error, false);
    EXPECT_FALSE(logger.isEnabled(Warning));
    EXPECT_TRUE(logger.isEnabled(Error));
    EXPECT_TRUE(logger.isEnabled(Critical));

    int evaluated = 0;
    auto expensive = [&] {
        ++evaluated;
        return std::string("value");
    };
    AP_LOG(Warning, "dropped", expensive());
    EXPECT_EQ(evaluated, 0) << "arguments of a disabled statement must not be evaluated";
    logger.log(Warning, "dropped too");
    AP_LOG(Error, "kept", expensive());
    logger.log(Critical, "kept too");
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(logger.texts(), (std::vector<std::string>{"[RP] : ERROR   : kept : value",
                                                        "[RP] : FATAL   : kept too"}));
}

TEST_F(LogDirectory, BufferedLoggerKeepsOrderAcrossThreadsAndLosesNothingOnDelete) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    auto* logger = new BufferedLogger(Verbose, true);
    std::string name = logger->fileName();
    EXPECT_EQ(name.rfind("bufferedlog_", 0), 0u);
    EXPECT_EQ(name.size(), std::string("bufferedlog_05-12-2026_01-43-37.txt").size());

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([logger, t] {
            for (int i = 0; i < kPerThread; ++i) {
                logger->addEntry("thread " + std::to_string(t) + " entry " + std::to_string(i),
                                 Info);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    logger->addEntry("last entry", Critical);
    delete logger;

    std::ifstream in(name);
    std::vector<int> next(kThreads, 0);
    std::string line;
    int lines = 0;
    std::string lastLine;
    while (std::getline(in, line)) {
        ++lines;
        lastLine = line;
        int t = 0, i = 0;
        if (std::sscanf(line.c_str(), "thread %d entry %d", &t, &i) == 2) {
            ASSERT_GE(t, 0);
            ASSERT_LT(t, kThreads);
            ASSERT_EQ(i, next[t]) << "entries of one thread out of order or torn: " << line;
            ++next[t];
        }
    }
    EXPECT_EQ(lines, kThreads * kPerThread + 1);
    EXPECT_EQ(lastLine, "last entry");
}

TEST_F(LogDirectory, BufferedLoggerFlushWritesEverythingQueued) {
    BufferedLogger logger(Info, false);
    utils::logging::Logger* previous = processLogger;
    processLogger = &logger;
    logger.log(Info, "first");
    logger.log(Debug, "filtered");
    logger.log(Error, "second", "fd", 7);
    logger.flush();
    processLogger = previous;
    EXPECT_EQ(readFile(logger.fileName()),
              "[RP] : INFO    : first\n[RP] : ERROR   : second : fd : 7\n");
}

TEST_F(LogDirectory, DelayedLoggerWritesOnlyWhenFlushedOrDestroyed) {
    auto* logger = new DelayedLogger(Verbose, true);
    std::string name = logger->fileName();
    EXPECT_EQ(name.rfind("delayedlog_", 0), 0u);
    ASSERT_TRUE(std::filesystem::exists(name)) << "the file exists from start-up";
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([logger, t] {
            for (int i = 0; i < 500; ++i)
                logger->log(Info, "entry", t, i);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(readFile(name), "") << "nothing reaches the file before flush";

    logger->flush();
    std::string flushed = readFile(name);
    EXPECT_EQ(std::count(flushed.begin(), flushed.end(), '\n'), 2000);
    std::istringstream lines(flushed);
    std::string line;
    while (std::getline(lines, line)) {
        ASSERT_EQ(line.rfind("[FP] : INFO    : entry : ", 0), 0u) << "torn entry: " << line;
    }

    logger->log(Warning, "after flush");
    delete logger;
    EXPECT_EQ(readFile(name), flushed + "[FP] : WARNING : after flush\n");
}

// Records every call the back-ends make on the platform logging service.
class RecordingService : public csc_logging::CSCLoggingApi {
public:
    struct Call {
        std::string operation;
        std::string text;
        std::thread::id thread;
    };
    struct Journal {
        std::mutex mutex;
        std::vector<Call> calls;
        std::string applicationId;
        int initLevel = -1;
        int initCount = 0;
    };

    explicit RecordingService(Journal& journal) : journal_(journal) {}

    void initialize(const std::string& applicationId, int level) override {
        std::lock_guard<std::mutex> lock(journal_.mutex);
        journal_.applicationId = applicationId;
        journal_.initLevel = level;
        ++journal_.initCount;
        level_ = level;
    }
    bool isLevelEnabled(int level) override { return level >= 1 && level <= level_; }
    void logCritical(const std::string& text) override { record("critical", text); }
    void logError(const std::string& text) override { record("error", text); }
    void logWarning(const std::string& text) override { record("warning", text); }
    void logInfo(const std::string& text) override { record("info", text); }
    void logDebug(const std::string& text) override { record("debug", text); }
    void logVerbose(const std::string& text) override { record("verbose", text); }

private:
    void record(const char* operation, const std::string& text) {
        std::lock_guard<std::mutex> lock(journal_.mutex);
        journal_.calls.push_back({operation, text, std::this_thread::get_id()});
    }
    Journal& journal_;
    int level_ = 0;
};

TEST(CscLoggers, QueuedLoggerCallsServiceOnItsRunnerThread) {
    RecordingService::Journal journal;
    std::thread::id runner;
    {
        CSCLogger logger(Error, true, std::make_unique<RecordingService>(journal));
        runner = logger.runnerThreadId();
        EXPECT_EQ(journal.applicationId, "RZ");
        EXPECT_EQ(journal.initLevel, 2);
        EXPECT_EQ(journal.initCount, 1);
        EXPECT_FALSE(logger.isEnabled(Warning));
        EXPECT_TRUE(logger.isEnabled(Error));
        EXPECT_FALSE(logger.isEnabled(static_cast<LogLevel>(7)));
        Logger* previous = processLogger;
        processLogger = &logger;
        logger.log(Error, "bad", "fd", 3);
        logger.log(Critical, "worse");
        logger.log(Warning, "filtered");
        processLogger = previous;
    }  // destruction drains the queue before the service goes
    ASSERT_EQ(journal.calls.size(), 2u);
    EXPECT_EQ(journal.calls[0].operation, "error");
    EXPECT_EQ(journal.calls[0].text, "[FP] : ERROR   : bad : fd : 3");
    EXPECT_EQ(journal.calls[1].operation, "critical");
    for (const auto& call : journal.calls) {
        EXPECT_EQ(call.thread, runner);
        EXPECT_NE(call.thread, std::this_thread::get_id());
    }
}

TEST(CscLoggers, UnbufferedLoggerCallsServiceOnCallingThreadBeforeReturning) {
    RecordingService::Journal journal;
    CSCUnbufferedLogger logger(Verbose, false, std::make_unique<RecordingService>(journal));
    EXPECT_EQ(journal.initLevel, 6);
    Logger* previous = processLogger;
    processLogger = &logger;
    logger.log(Warning, "careful");
    processLogger = previous;
    ASSERT_EQ(journal.calls.size(), 1u);
    EXPECT_EQ(journal.calls[0].operation, "warning");
    EXPECT_EQ(journal.calls[0].text, "[RP] : WARNING : careful");
    EXPECT_EQ(journal.calls[0].thread, std::this_thread::get_id());

    RecordingService::Journal outOfRange;
    CSCUnbufferedLogger odd(static_cast<LogLevel>(9), false,
                            std::make_unique<RecordingService>(outOfRange));
    EXPECT_EQ(outOfRange.initCount, 0) << "initialize only for levels 0..5";
}

}  // namespace
