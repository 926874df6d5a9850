// Progress reporting and cancellation for long operations. A Tickler maps an operation's own
// 0..1 fraction into a sub-range of a progress sink (a TickleImplBase supplied by the
// application); Split divides a tickler's range among the parts of a job, and TickleCounter
// reports every n-th item of a counted loop.
#pragma once

#include "support/TalvenText.h"

#include <cstdint>
#include <vector>

// The progress sink. The application derives from it and shows text and progress. It must
// outlive every Tickler that points to it. No locking: a sink reported to from several threads
// protects itself. Whatever a derived operation raises passes through the Tickler unchanged.
class TickleImplBase {
public:
    TickleImplBase();
    virtual ~TickleImplBase();

    // Whether the user asked to stop. The base answers the cancelled field.
    virtual bool IsCancelled();
    // Shows a status text, such as "copying %0" with its argument.
    virtual void SetText(const TalvenTextArgs& text) = 0;
    // Shows the position in the sink's own range.
    virtual void SetProgress(double position) = 0;
    // A notification without arguments; what it means is up to the sink.
    virtual void Refresh() = 0;
    // The number of steps (stages) of the whole job, initially 1.
    virtual std::uint32_t GetStepCount() const;
    // The current step, counted from 1, initially 1.
    virtual std::uint32_t GetStep() const;
    virtual void SetStepCount(std::uint32_t count);
    virtual void SetStep(std::uint32_t step);

protected:
    // Set by a derived sink when the user cancels.
    bool cancelled_;
    std::uint32_t stepCount_;
    std::uint32_t step_;
};

// A value object that forwards to a sink, mapping a fraction f to offset + scale * f. Without a
// sink every operation does nothing or answers a neutral value. Copying shares the sink, which
// is never owned. Raises nothing of its own.
class Tickler {
public:
    // No sink: silent. Offset 1.0, scale 0.0.
    Tickler();
    // The sink's whole range: offset 0.0, scale 1.0.
    explicit Tickler(TickleImplBase* sink);
    Tickler(TickleImplBase* sink, double offset, double scale);
    Tickler(const Tickler& other) = default;
    Tickler& operator=(const Tickler& other) = default;
    virtual ~Tickler();

    // Passes offset + scale * fraction to the sink's SetProgress; the fraction is not clamped.
    void Tickle(double fraction) const;
    void SetText(const TalvenTextArgs& text) const;
    // False without a sink.
    bool IsCancelled() const;
    void Refresh() const;
    // Sets the sink's step count to count and its step to 1.
    void SetStepCount(std::uint32_t count) const;
    // 0 without a sink.
    std::uint32_t GetStepCount() const;
    void SetStep(std::uint32_t step) const;
    // Moves the sink to the step after its current one.
    void NextStep() const;

    TickleImplBase* GetImpl() const { return sink_; }
    double GetOffset() const { return offset_; }
    double GetScale() const { return scale_; }
    void SetOffset(double offset) { offset_ = offset; }
    void SetScale(double scale) { scale_ = scale; }

private:
    TickleImplBase* sink_;
    double offset_;
    double scale_;
};

// n ticklers on the same sink that tile the tickler's range in equal parts, in order. Empty for
// n = 0.
std::vector<Tickler> Split(const Tickler& tickler, std::uint32_t n);
// One tickler per weight, each as wide as its share of the sum of the weights, tiling the
// range in order; a weight of 0 gives a part of width 0. Empty when the sum is not a positive
// finite number (no weights, all zero, a negative sum, NaN or infinity).
std::vector<Tickler> Split(const Tickler& tickler, const std::vector<double>& weights);

// Counts the items of a loop and reports count / total through its tickler on every
// interval-th item. Items beyond total are counted but not reported.
class TickleCounter {
public:
    // Keeps a copy of tickler. Raises the internal-software-error TalvenException when interval
    // is 0.
    TickleCounter(const Tickler& tickler, std::uint32_t total, std::uint32_t interval);

    // Counts one item. Raises what the sink raises.
    void Increment();

private:
    Tickler tickler_;
    std::uint32_t count_;
    std::uint32_t total_;
    std::uint32_t interval_;
};
