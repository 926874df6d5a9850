// Ticklers, their splitting and the counting helper.
#include "Private/Tickler.h"

#include "support/TalvenException.h"

#include <cmath>
#include <limits>

TickleImplBase::TickleImplBase() : cancelled_(false), stepCount_(1), step_(1) {}

TickleImplBase::~TickleImplBase() = default;

bool TickleImplBase::IsCancelled() {
    return cancelled_;
}

std::uint32_t TickleImplBase::GetStepCount() const {
    return stepCount_;
}

std::uint32_t TickleImplBase::GetStep() const {
    return step_;
}

void TickleImplBase::SetStepCount(std::uint32_t count) {
    stepCount_ = count;
}

void TickleImplBase::SetStep(std::uint32_t step) {
    step_ = step;
}

Tickler::Tickler() : sink_(nullptr), offset_(1.0), scale_(0.0) {}

Tickler::Tickler(TickleImplBase* sink) : sink_(sink), offset_(0.0), scale_(1.0) {}

Tickler::Tickler(TickleImplBase* sink, double offset, double scale)
    : sink_(sink), offset_(offset), scale_(scale) {}

Tickler::~Tickler() = default;

void Tickler::Tickle(double fraction) const {
    if (sink_ != nullptr) {
        sink_->SetProgress(offset_ + scale_ * fraction);
    }
}

void Tickler::SetText(const TalvenTextArgs& text) const {
    if (sink_ != nullptr) {
        sink_->SetText(text);
    }
}

bool Tickler::IsCancelled() const {
    return sink_ != nullptr && sink_->IsCancelled();
}

void Tickler::Refresh() const {
    if (sink_ != nullptr) {
        sink_->Refresh();
    }
}

void Tickler::SetStepCount(std::uint32_t count) const {
    if (sink_ != nullptr) {
        sink_->SetStepCount(count);
        sink_->SetStep(1);
    }
}

std::uint32_t Tickler::GetStepCount() const {
    return sink_ != nullptr ? sink_->GetStepCount() : 0;
}

void Tickler::SetStep(std::uint32_t step) const {
    if (sink_ != nullptr) {
        sink_->SetStep(step);
    }
}

void Tickler::NextStep() const {
    if (sink_ != nullptr) {
        sink_->SetStep(sink_->GetStep() + 1);
    }
}

std::vector<Tickler> Split(const Tickler& tickler, std::uint32_t n) {
    std::vector<Tickler> parts;
    if (n == 0) {
        return parts;
    }
    parts.reserve(n);
    const double width = tickler.GetScale() / n;
    double start = tickler.GetOffset();
    for (std::uint32_t i = 0; i < n; ++i) {
        parts.emplace_back(tickler.GetImpl(), start, width);
        start += width;
    }
    return parts;
}

std::vector<Tickler> Split(const Tickler& tickler, const std::vector<double>& weights) {
    std::vector<Tickler> parts;
    double total = 0.0;
    for (double weight : weights) {
        total += weight;
    }
    // An infinite sum would turn every width into 0 or NaN, which no sink can show.
    if (!(total > 0.0) || std::isinf(total)) {
        return parts;
    }
    parts.reserve(weights.size());
    double start = tickler.GetOffset();
    for (double weight : weights) {
        const double width = tickler.GetScale() * weight / total;
        parts.emplace_back(tickler.GetImpl(), start, width);
        start += width;
    }
    return parts;
}

TickleCounter::TickleCounter(const Tickler& tickler, std::uint32_t total, std::uint32_t interval)
    : tickler_(tickler), count_(0), total_(total), interval_(interval) {
    // Every count would be tested modulo 0.
    if (interval_ == 0) {
        TALVEN_INTERNAL_ERROR(".\\Private\\Tickler");
    }
}

void TickleCounter::Increment() {
    // Stop counting rather than wrap to 0, which would report the start again.
    if (count_ == std::numeric_limits<std::uint32_t>::max()) {
        return;
    }
    ++count_;
    if (count_ % interval_ != 0 || count_ > total_) {
        return;
    }
    tickler_.Tickle(static_cast<double>(count_) / static_cast<double>(total_));
}
