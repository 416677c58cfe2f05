#pragma once

#include "DateSerial.h"

namespace smtpin {

// Every "now" of the program comes from one clock, so tests can step time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual DateSerial now() const = 0;
};

class SystemClock final : public Clock {
public:
    DateSerial now() const override;
};

class ManualClock final : public Clock {
public:
    explicit ManualClock(DateSerial start = DateSerial::fromParts(2026, 1, 15, 10, 0, 0)) : now_(start) {}
    DateSerial now() const override { return now_; }
    void set(DateSerial t) { now_ = t; }
    void advanceSeconds(double s) { now_ = now_.addSeconds(s); }

private:
    DateSerial now_;
};

}  // namespace smtpin
