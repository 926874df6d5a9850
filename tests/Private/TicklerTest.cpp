// Ticklers: silence without a sink, the mapping of fractions into sub-ranges, copies sharing the
// sink, splitting by count and by weight, steps, and the counting helper's reporting rule.
#include "Private/Tickler.h"

#include "support/TalvenException.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Records the positions it is given.
class RecordingSink : public TickleImplBase {
public:
    void SetText(const TalvenTextArgs&) override {}
    void SetProgress(double position) override {
        if (failOnProgress) {
            throw std::runtime_error("sink failed");
        }
        positions.push_back(position);
    }
    void Refresh() override {}
    void Cancel() { cancelled_ = true; }

    std::vector<double> positions;
    bool failOnProgress = false;
};

struct Range {
    double offset;
    double scale;
};

void ExpectRanges(const std::vector<Tickler>& parts, const std::vector<Range>& expected,
                  const TickleImplBase* sink) {
    ASSERT_EQ(parts.size(), expected.size());
    for (size_t i = 0; i < parts.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_DOUBLE_EQ(parts[i].GetOffset(), expected[i].offset);
        EXPECT_DOUBLE_EQ(parts[i].GetScale(), expected[i].scale);
        EXPECT_EQ(parts[i].GetImpl(), sink);
    }
}

TEST(Tickler, WithoutSinkIsSilentAndNeutral) {
    Tickler silent;
    TalvenText caption("copying %0");
    silent.Tickle(0.5);
    silent.SetText(TalvenTextArgs(caption).arg("a.txt"));
    silent.Refresh();
    silent.SetStepCount(3);
    silent.SetStep(2);
    silent.NextStep();
    EXPECT_FALSE(silent.IsCancelled());
    EXPECT_EQ(silent.GetStepCount(), 0u);
    // Splitting a silent tickler gives silent parts.
    for (const Tickler& part : Split(silent, 2)) {
        EXPECT_EQ(part.GetImpl(), nullptr);
    }
}

TEST(Tickler, MapsFractionIntoItsRange) {
    struct Case {
        double offset, scale, fraction, expected;
    } cases[] = {
        {0.0, 1.0, 0.25, 0.25},  {0.5, 0.25, 0.0, 0.5}, {0.5, 0.25, 1.0, 0.75},
        {0.5, 0.25, 0.5, 0.625}, {0.5, 0.25, 2.0, 1.0}, // not clamped
        {0.5, 0.25, -1.0, 0.25},
    };
    for (const Case& c : cases) {
        RecordingSink sink;
        Tickler(&sink, c.offset, c.scale).Tickle(c.fraction);
        ASSERT_EQ(sink.positions.size(), 1u);
        EXPECT_DOUBLE_EQ(sink.positions[0], c.expected)
            << c.offset << " + " << c.scale << " * " << c.fraction;
    }
}

TEST(Tickler, CopiesShareTheSinkAndItsAnswers) {
    RecordingSink sink;
    Tickler tickler(&sink, 0.5, 0.5);
    {
        Tickler copy = tickler; // destroying a copy must leave the sink alone
        copy.SetOffset(0.0);
        copy.SetScale(0.25);
        copy.Tickle(1.0);
        EXPECT_EQ(copy.GetImpl(), &sink);
    }
    tickler.Tickle(1.0);
    EXPECT_EQ(sink.positions, (std::vector<double>{0.25, 1.0}));

    EXPECT_FALSE(tickler.IsCancelled());
    sink.Cancel();
    EXPECT_TRUE(tickler.IsCancelled());

    sink.failOnProgress = true;
    EXPECT_THROW(tickler.Tickle(0.5), std::runtime_error);
}

TEST(Tickler, StepCountRestartsAtOneAndNextStepAdvances) {
    RecordingSink sink;
    Tickler tickler(&sink);
    tickler.SetStep(5);
    tickler.SetStepCount(3);
    EXPECT_EQ(sink.GetStep(), 1u);
    EXPECT_EQ(tickler.GetStepCount(), 3u);
    tickler.NextStep();
    EXPECT_EQ(sink.GetStep(), 2u);
}

TEST(Tickler, SplitIntoEqualPartsNests) {
    RecordingSink sink;
    std::vector<Tickler> quarters = Split(Tickler(&sink), 4);
    ExpectRanges(quarters, {{0.0, 0.25}, {0.25, 0.25}, {0.5, 0.25}, {0.75, 0.25}}, &sink);
    ExpectRanges(Split(quarters[2], 2), {{0.5, 0.125}, {0.625, 0.125}}, &sink);
    EXPECT_TRUE(Split(Tickler(&sink), 0).empty());

    // A sub-operation that reports its own 0..1 lands in its part of the sink's range.
    Split(quarters[2], 2)[1].Tickle(1.0);
    EXPECT_DOUBLE_EQ(sink.positions.at(0), 0.75);
}

TEST(Tickler, SplitByWeights) {
    RecordingSink sink;
    Tickler whole(&sink);
    ExpectRanges(Split(whole, {1.0, 3.0}), {{0.0, 0.25}, {0.25, 0.75}}, &sink);
    ExpectRanges(Split(Tickler(&sink, 0.5, 0.5), {2.0, 0.0, 2.0}),
                 {{0.5, 0.25}, {0.75, 0.0}, {0.75, 0.25}}, &sink);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::vector<double>> unusable = {
        {}, {0.0, 0.0}, {-1.0}, {1.0, -2.0}, {nan}, {1.0, nan}, {inf}, {1.0, inf},
    };
    for (size_t i = 0; i < unusable.size(); ++i) {
        EXPECT_TRUE(Split(whole, unusable[i]).empty()) << "case " << i;
    }
}

TEST(TickleCounter, ReportsEveryIntervalUpToTotal) {
    RecordingSink sink;
    TickleCounter counter(Tickler(&sink), 10, 3);
    std::vector<size_t> reportsAfter;
    for (int i = 1; i <= 12; ++i) {
        counter.Increment();
        reportsAfter.push_back(sink.positions.size());
    }
    EXPECT_EQ(reportsAfter, (std::vector<size_t>{0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 3}));
    ASSERT_EQ(sink.positions.size(), 3u);
    EXPECT_DOUBLE_EQ(sink.positions[0], 0.3);
    EXPECT_DOUBLE_EQ(sink.positions[1], 0.6);
    EXPECT_DOUBLE_EQ(sink.positions[2], 0.9);

    // Interval 1 reaches the end exactly; a sub-range tickler maps through its range.
    RecordingSink sub;
    TickleCounter each(Tickler(&sub, 0.5, 0.5), 2, 1);
    each.Increment();
    each.Increment();
    each.Increment();
    EXPECT_EQ(sub.positions, (std::vector<double>{0.75, 1.0}));

    // Nothing to count: never reports, never divides by zero.
    RecordingSink none;
    TickleCounter empty(Tickler(&none), 0, 1);
    empty.Increment();
    EXPECT_TRUE(none.positions.empty());
}

TEST(TickleCounter, IntervalZeroIsRejected) {
    RecordingSink sink;
    try {
        TickleCounter counter(Tickler(&sink), 10, 0);
        FAIL() << "interval 0 accepted";
    } catch (const TalvenException& e) {
        EXPECT_EQ(e.code(), -2);
        const ByteString& message = e.message();
        EXPECT_NE(std::string(message.begin(), message.end()).find(".\\Private\\Tickler"),
                  std::string::npos);
    }
}

} // namespace
