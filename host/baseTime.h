// Document time of the host.
#pragma once

#include "hostTypes.h"

#include <cmath>

/// A time in seconds as the fraction numerator / denominator (two doubles).
class BaseTime {
public:
    /// Time 0 (0 / 1).
    BaseTime() = default;
    /// The time num / den seconds.
    BaseTime(Float num, Float den) : num_(num), den_(den) {}
    /// The time `seconds` (seconds / 1).
    explicit BaseTime(Float seconds) : num_(seconds), den_(1.0) {}

    /// Seconds: numerator / denominator (0 when the denominator is 0).
    Float Get() const { return den_ != 0.0 ? num_ / den_ : 0.0; }
    /// Numerator.
    Float GetNumerator() const { return num_; }
    /// Denominator.
    Float GetDenominator() const { return den_; }
    /// The frame at `fps` frames per second: floor(num * fps) / floor(den),
    /// truncated toward zero (0 when floor(den) is 0).
    Int32 GetFrame(Float fps) const {
        const Float den = std::floor(den_);
        if (den == 0.0) return 0;
        return static_cast<Int32>(std::trunc(std::floor(num_ * fps) / den));
    }

private:
    Float num_ = 0.0;
    Float den_ = 1.0;
};
