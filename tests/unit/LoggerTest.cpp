#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "RecordingLogger.h"
#include "utils/logging/BufferedLogger.h"
#include "utils/logging/CSCLogger.h"
#include "utils/logging/CSCUnbufferedLogger.h"
#include "utils/logging/DelayedLogger.h"

namespace {

using namespace utils::logging;
using testing_support::RecordingLogger;
using Texts = std::vector<std::string>;

std::string readFile(const std::string& name) {
    std::ifstream in(name);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// Logs from four threads at once.
template <typename Body>
void fromFourThreads(Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(body, t);
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

TEST(LoggerFormat, EntryTextIsComposedByteForByte) {
    RecordingLogger logger(static_cast<LogLevel>(-1), true);
    logger.log(Critical, "Proxy initialization failed, exiting");
    logger.log(Warning, "");
    logger.log(static_cast<LogLevel>(6), "odd");
    logger.log(static_cast<LogLevel>(-1), "odd");
    logger.log(Warning, "Error reading socket", "errno", 104, "description",
               std::string("Connection reset by peer"));
    logger.log(Info, "limits", 0, -1, INT_MIN, UINT32_MAX, LONG_MIN, ULONG_MAX,
               static_cast<unsigned short>(65535), static_cast<int8_t>(-5));
    int local = 0;
    logger.log(Debug, "pointers", static_cast<const void*>(nullptr), &local);
    std::ostringstream pointer;
    pointer << static_cast<const void*>(&local);
    EXPECT_EQ(logger.texts(),
              (Texts{"[FP] : FATAL   : Proxy initialization failed, exiting",
                     "[FP] : WARNING : ", "[FP] : UNKNOWN:  : odd", "[FP] : UNKNOWN:  : odd",
                     "[FP] : WARNING : Error reading socket : errno : 104 : description : "
                     "Connection reset by peer",
                     "[FP] : INFO    : limits : 0 : -1 : -2147483648 : 4294967295 : "
                     "-9223372036854775808 : 18446744073709551615 : 65535 : -5",
                     "[FP] : DEBUG   : pointers : 0 : " + pointer.str()}));
}

TEST(LoggerFormat, LevelFilterAppliesAtCallSiteAndInLog) {
    RecordingLogger logger(Error, false);
    EXPECT_FALSE(logger.isEnabled(Warning));
    EXPECT_TRUE(logger.isEnabled(Critical));
    int evaluated = 0;
    auto expensive = [&] { return std::to_string(++evaluated); };
    AP_LOG(Warning, "dropped", expensive());
    logger.log(Warning, "dropped too");
    AP_LOG(Error, "kept", expensive());
    logger.log(Critical, "kept too");
    EXPECT_EQ(evaluated, 1) << "arguments of a disabled statement must not be evaluated";
    EXPECT_EQ(logger.texts(), (Texts{"[RP] : ERROR   : kept : 1", "[RP] : FATAL   : kept too"}));
}

// The file back-ends write to the working directory, so each test gets a fresh one.
struct InFreshDirectory {
    std::filesystem::path previous = std::filesystem::current_path();
    std::string directory = "/tmp/ap-logger-XXXXXX";
    InFreshDirectory() { std::filesystem::current_path(mkdtemp(directory.data())); }
    ~InFreshDirectory() {
        std::filesystem::current_path(previous);
        std::filesystem::remove_all(directory);
    }
};

TEST(FileLoggers, BufferedLoggerKeepsOrderAcrossThreadsAndLosesNothingOnDelete) {
    InFreshDirectory directory;
    constexpr int kPerThread = 2000;
    auto* logger = new BufferedLogger(Verbose, true);
    const std::string name = logger->fileName();
    fromFourThreads([logger](int t) {
        for (int i = 0; i < kPerThread; ++i) {
            logger->addEntry("thread " + std::to_string(t) + " entry " + std::to_string(i), Info);
        }
    });
    logger->addEntry("last entry", Critical);
    delete logger;

    std::ifstream in(name);
    std::vector<int> next(4, 0);
    std::string line;
    int t = 0;
    int i = 0;
    while (std::getline(in, line) && std::sscanf(line.c_str(), "thread %d entry %d", &t, &i) == 2) {
        ASSERT_TRUE(t >= 0 && t < 4 && i == next[t]) << "out of order or torn: " << line;
        ++next[t];
    }
    EXPECT_EQ(next, std::vector<int>(4, kPerThread));
    EXPECT_EQ(line, "last entry");
    EXPECT_FALSE(std::getline(in, line));
}

TEST(FileLoggers, DelayedLoggerWritesOnlyWhenFlushedOrDestroyed) {
    InFreshDirectory directory;
    auto* logger = new DelayedLogger(Verbose, true);
    const std::string name = logger->fileName();
    EXPECT_EQ(name.rfind("delayedlog_", 0), 0u);
    ASSERT_TRUE(std::filesystem::exists(name)) << "the file exists from start-up";
    fromFourThreads([logger](int t) {
        for (int i = 0; i < 500; ++i) {
            logger->log(Info, "entry", t, i);
        }
    });
    EXPECT_EQ(readFile(name), "") << "nothing reaches the file before flush";

    logger->flush();
    const std::string flushed = readFile(name);
    std::istringstream lines(flushed);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_EQ(line.rfind("[FP] : INFO    : entry : ", 0), 0u) << "torn entry: " << line;
    }
    EXPECT_EQ(count, 2000);
    logger->log(Warning, "after flush");
    delete logger;
    EXPECT_EQ(readFile(name), flushed + "[FP] : WARNING : after flush\n");
}

// Records every call the back-ends make on the platform logging service.
struct Journal {
    std::mutex mutex;
    std::string applicationId;
    int initLevel = -1;
    std::vector<std::tuple<std::string, std::string, std::thread::id>> calls;
};

class RecordingService : public csc_logging::CSCLoggingApi {
public:
    explicit RecordingService(Journal& journal) : journal_(journal) {}
    void initialize(const std::string& applicationId, int level) override {
        CSCLoggingApi::initialize(applicationId, level);
        journal_.applicationId = applicationId;
        journal_.initLevel = level;
    }
    void logCritical(const std::string& text) override { record("critical", text); }
    void logError(const std::string& text) override { record("error", text); }
    void logWarning(const std::string& text) override { record("warning", text); }

private:
    void record(const char* operation, const std::string& text) {
        std::lock_guard<std::mutex> lock(journal_.mutex);
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
        EXPECT_EQ(queued.applicationId, "RZ");
        EXPECT_EQ(queued.initLevel, 2);
        EXPECT_FALSE(logger.isEnabled(Warning));
        logger.log(Error, "bad", "fd", 3);
        logger.log(Critical, "worse");
    }  // destruction drains the queue before the service goes
    EXPECT_NE(runner, std::this_thread::get_id());
    EXPECT_EQ(queued.calls,
              (decltype(queued.calls){{"error", "[FP] : ERROR   : bad : fd : 3", runner},
                                      {"critical", "[FP] : FATAL   : worse", runner}}));

    Journal direct;
    CSCUnbufferedLogger logger(Verbose, false, std::make_unique<RecordingService>(direct));
    EXPECT_EQ(direct.initLevel, 6);
    logger.log(Warning, "careful");
    EXPECT_EQ(direct.calls, (decltype(direct.calls){{"warning", "[RP] : WARNING : careful",
                                                     std::this_thread::get_id()}}));
}

}  // namespace
