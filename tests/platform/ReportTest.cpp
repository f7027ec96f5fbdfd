// The reports seam and the thread priority mapping.

#include "platform/report/RecordingSink.h"
#include "platform/thread/ThreadPriority.h"

#include <gtest/gtest.h>

namespace {

TEST(Report, EachKindReachesTheSinkWithItsTitleAndTheDefaultHandlerAddsAFullStop)
{
    report::RecordingSink sink;
    report::Error("Could not waveOutWrite.");
    report::Information("You need to restart the application for the new settings to take effect.");
    report::Plain("Problem creating play handle", "Error");
    report::Unhandled("Cannot create file /nowhere/take.wav");
    report::Unhandled("Already ends.");
    report::Unhandled("Ends in a bang!");
    const std::vector<report::Shown> expected{
        {report::Kind::Error, "Error", "Could not waveOutWrite."},
        {report::Kind::Information, "Information", "You need to restart the application for the new settings to take effect."},
        {report::Kind::Plain, "Problem creating play handle", "Error"},
        {report::Kind::Unhandled, "Vobblix", "Cannot create file /nowhere/take.wav."},
        {report::Kind::Unhandled, "Vobblix", "Already ends."},
        // "!" sorts before ".", so nothing is added.
        {report::Kind::Unhandled, "Vobblix", "Ends in a bang!"},
    };
    EXPECT_EQ(sink.shown(), expected);
}

TEST(Report, EveryReportIsOneLineOnStandardError)
{
    testing::internal::CaptureStderr();
    report::Error("Could not waveInAddBuffer.");
    report::Plain("Problem creating record handle", "Error");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "vobblix: error: Could not waveInAddBuffer.\n"
              "vobblix: message: Problem creating record handle: Error\n");
}

TEST(Report, TerminationGoesToTheInstalledHandler)
{
    static int calls = 0;
    report::InstallTerminationHandler([] { ++calls; });
    report::RequestTermination();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(report::TerminationRequested());
    report::InstallTerminationHandler(nullptr);
    report::ResetTermination();
}

TEST(ThreadPriority, UnknownValuesRunAsNormal)
{
    EXPECT_EQ(thread::PriorityFor(0), thread::PriorityClass::Normal);
    EXPECT_EQ(thread::PriorityFor(1), thread::PriorityClass::High);
    EXPECT_EQ(thread::PriorityFor(2), thread::PriorityClass::Realtime);
    EXPECT_EQ(thread::PriorityFor(3), thread::PriorityClass::Normal);
    EXPECT_EQ(thread::PriorityFor(-1), thread::PriorityClass::Normal);
    EXPECT_TRUE(thread::SetCurrentThreadPriority(7));
}

} // namespace
